#pragma once

// Files the user cannot afford to lose ("Sites.dat", "Settings.dat", stored
// pages) are replaced by writing a temporary file beside them, flushing it to
// disk and renaming it over the old one, so a crash, a kill or a full disk in
// the middle of a save leaves the previous file whole.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <sys/types.h>

class TDeferredSync;

// Replaces the file at path with content. The new file gets mode when given,
// else the mode of the file it replaces, else 0644 less the umask. Gives
// false (with errno set) on any failure; the old file is then untouched.
// The new file is on disk when this returns, unless later is given: then it
// is written and in place, and reaches the disk at later's Flush.
bool WriteFileAtomic(const std::string& path, std::string_view content,
                     std::optional<mode_t> mode = std::nullopt, TDeferredSync* later = nullptr);

// Files replaced one after another (a pass's stored pages) reach the disk
// together: one wait at the end instead of two per file. A power cut before
// the flush can leave a replaced file empty or old, never a mix of two
// saves; for stored pages that means at worst one more delivery.
class TDeferredSync {
public:
    TDeferredSync() = default;
    TDeferredSync(const TDeferredSync&) = delete;
    TDeferredSync& operator=(const TDeferredSync&) = delete;
    ~TDeferredSync();

    void Add(const std::string& path);
    // Flushes every file added, then their folders, and forgets them. A file
    // removed since is no failure. On failure gives false, names the first
    // path that failed and leaves errno set; the rest are still flushed.
    bool Flush(std::string* failedPath = nullptr);
    bool Empty() const { return files_.empty(); }

private:
    std::vector<std::string> files_;
};

// Removes what saves killed between writing their temporary file and its
// rename left in folder: regular files named like WriteFileAtomic's
// temporary files of files whose names end in targetSuffix (name +
// targetSuffix + ".tmp-" + six letters or digits). Only for files no other
// save can be writing now. Gives the number removed.
int RemoveAtomicWriteLeftovers(const std::string& folder, std::string_view targetSuffix = {});

// Reads a whole file; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Reads one of the user's own files ("Settings.dat", "Sites.dat"), which
// anything may have been put in place of: it is opened without waiting, so a
// FIFO cannot hold the program, and refused unless it is a regular file of
// at most maxBytes, so a link to /dev/zero is not read until memory runs
// out. A UTF-8 byte-order mark that some editors write is left out. Nothing
// when it is not read: errno is ENOENT for a missing file, and failure (when
// given) then says why in a sentence that names the path.
std::optional<std::string> ReadOwnFile(const std::string& path, std::size_t maxBytes,
                                       std::string* failure = nullptr);

// Called between writing the temporary file and renaming it; a test installs
// one to interrupt a save there. Returning false abandons the save.
using TAtomicWriteProbe = std::function<bool(const std::string& tempPath)>;
void SetAtomicWriteProbe(TAtomicWriteProbe probe);
