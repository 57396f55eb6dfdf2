#pragma once

// An advisory lock on a folder, so that two processes never run check passes
// over the same data at once. It is a lock on a file inside the folder, held
// until Unlock or until the process ends (the system releases it on a crash).

#include <string>

class TFolderLock {
public:
    TFolderLock() = default;
    ~TFolderLock() { Unlock(); }
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

    // Takes the lock without waiting; false when another holder has it or the
    // lock file cannot be made.
    bool TryLock(const std::string& folder);
    void Unlock();
    bool Locked() const { return fd_ >= 0; }

    // Why the last TryLock gave false: empty when another holder has the
    // lock, else what went wrong with the lock file.
    const std::string& LastError() const { return lastError_; }

    static constexpr const char* FileName = ".vendrel.lock";

private:
    int fd_ = -1;
    std::string lastError_;
};
