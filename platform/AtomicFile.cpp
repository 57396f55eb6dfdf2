#include "platform/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TAtomicWriteProbe& Probe()
{
    static TAtomicWriteProbe probe;
    return probe;
}

bool WriteAll(int fd, std::string_view content)
{
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncFolder(const std::string& folder)
{
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool ok = ::fsync(dir) == 0;
    const int saved = errno;
    ::close(dir);
    errno = saved;
    return ok;
}

} // namespace

void SetAtomicWriteProbe(TAtomicWriteProbe probe)
{
    Probe() = std::move(probe);
}

bool WriteFileAtomic(const std::string& path, std::string_view content, std::optional<mode_t> mode,
                     TDeferredSync* later)
{
    mode_t finalMode;
    struct stat st {};
    if (mode)
        finalMode = *mode;
    else if (::stat(path.c_str(), &st) == 0)
        finalMode = st.st_mode & 07777;
    else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        finalMode = 0644 & ~mask;
    }

    std::string temp = path + ".tmp-XXXXXX";
    // mkstemp creates the file 0600, so a password never sits readable in it.
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    auto fail = [&]() {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    };
    if (!WriteAll(fd, content) || ::fchmod(fd, finalMode) != 0)
        return fail();
    if (later) {
        // Started now, waited for at the flush: by then most of it is written.
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    } else if (::fsync(fd) != 0) {
        return fail();
    }
    if (Probe() && !Probe()(temp)) {
        errno = EIO;
        return fail();
    }
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    if (later) {
        later->Add(path);
        return true;
    }
    // The rename itself must reach the disk, or a power cut could bring back
    // the old name pointing nowhere.
    SyncFolder(FolderOf(path));
    return true;
}

TDeferredSync::~TDeferredSync()
{
    Flush();
}

void TDeferredSync::Add(const std::string& path)
{
    files_.push_back(path);
}

bool TDeferredSync::Flush(std::string* failedPath)
{
    bool ok = true;
    int firstError = 0;
    auto failed = [&](const std::string& path) {
        if (ok) {
            firstError = errno;
            if (failedPath)
                *failedPath = path;
        }
        ok = false;
    };
    std::vector<std::string> folders;
    for (const auto& path : files_) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT)
                failed(path);
        } else {
            if (::fsync(fd) != 0)
                failed(path);
            ::close(fd);
        }
        std::string folder = FolderOf(path);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(std::move(folder));
    }
    for (const auto& folder : folders)
        if (!SyncFolder(folder) && errno != ENOENT)
            failed(folder);
    files_.clear();
    if (!ok)
        errno = firstError;
    return ok;
}

namespace {

bool IsTempName(std::string_view name, std::string_view targetSuffix)
{
    constexpr std::string_view marker = ".tmp-";
    constexpr std::size_t letters = 6;
    if (name.size() <= targetSuffix.size() + marker.size() + letters)
        return false;
    const std::size_t at = name.size() - letters - marker.size();
    if (name.substr(at, marker.size()) != marker || name.substr(0, at).substr(at - targetSuffix.size()) != targetSuffix)
        return false;
    for (const char c : name.substr(at + marker.size()))
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

} // namespace

int RemoveAtomicWriteLeftovers(const std::string& folder, std::string_view targetSuffix)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsTempName(entry->d_name, targetSuffix))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    struct stat st {};
    // Read straight into the text: a pass reads a stored page per site. The
    // size is only a hint; a file that grows or shrinks meanwhile is read
    // to its end all the same.
    std::size_t size = 0;
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        content.resize(static_cast<std::size_t>(st.st_size) + 1);
    else
        content.resize(65536);
    for (;;) {
        if (size == content.size())
            content.resize(content.size() * 2);
        const ssize_t n = ::read(fd, content.data() + size, content.size() - size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        size += static_cast<std::size_t>(n);
    }
    ::close(fd);
    content.resize(size);
    return content;
}

namespace {

std::string SizeText(std::size_t bytes)
{
    constexpr std::size_t MiB = std::size_t{1} << 20;
    if (bytes % MiB == 0)
        return std::to_string(bytes / MiB) + " MiB";
    return std::to_string(bytes) + " bytes";
}

} // namespace

std::optional<std::string> ReadOwnFile(const std::string& path, std::size_t maxBytes, std::string* failure)
{
    const auto fail = [&](const std::string& why, int error) -> std::optional<std::string> {
        if (failure)
            *failure = why;
        errno = error;
        return std::nullopt;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        return fail("Cannot read " + path + ": " + std::strerror(error), error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return fail("Cannot read " + path + ": " + std::strerror(error), error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(path + " is not a regular file", EINVAL);
    }
    const auto tooLarge = [&] {
        ::close(fd);
        return fail(path + " is larger than " + SizeText(maxBytes) + ", more than Vendrel reads from it", EFBIG);
    };
    if (st.st_size > 0 && static_cast<std::uintmax_t>(st.st_size) > maxBytes)
        return tooLarge();
    // The size is only a hint: the file may grow while it is read, and no
    // more than one byte beyond the limit is ever held.
    const std::size_t held = maxBytes < SIZE_MAX ? maxBytes + 1 : SIZE_MAX;
    std::string content(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), maxBytes) + 1, '\0');
    std::size_t size = 0;
    for (;;) {
        if (size == content.size()) {
            if (size > maxBytes)
                return tooLarge();
            content.resize(std::min(std::max<std::size_t>(size * 2, 4096), held));
        }
        const ssize_t n = ::read(fd, content.data() + size, content.size() - size);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            ::close(fd);
            return fail("Cannot read " + path + ": " + std::strerror(error), error);
        }
        if (n == 0)
            break;
        size += static_cast<std::size_t>(n);
    }
    if (size > maxBytes)
        return tooLarge();
    ::close(fd);
    content.resize(size);
    // Left in, the mark would hide the first section or join the first name.
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
        content.erase(0, 3);
    return content;
}
