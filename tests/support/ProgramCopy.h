#pragma once

// The real program copied into a test's home under a name of its own. The
// single-instance guard names its objects after the program file, so copies
// started by tests that run side by side never meet; the objects a killed
// copy leaves behind go with this object.

#include "platform/InstanceGuard.h"
#include "tests/support/TempDataFolder.h"

#include <string>

class TProgramCopy {
public:
    TProgramCopy(const std::string& program, const TTempDataFolder& home);
    ~TProgramCopy();
    TProgramCopy(const TProgramCopy&) = delete;
    TProgramCopy& operator=(const TProgramCopy&) = delete;

    const std::string& Path() const { return path_; }
    // What the desktop knows its windows by (their WM_CLASS instance).
    const std::string& FileName() const { return fileName_; }
    TInstanceNames Names() const;

private:
    std::string fileName_;
    std::string path_;
};
