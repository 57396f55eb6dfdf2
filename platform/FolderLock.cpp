#include "platform/FolderLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool TFolderLock::TryLock(const std::string& folder)
{
    lastError_.clear();
    if (fd_ >= 0)
        return true;
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += FileName;
    // A link in the lock file's place could make the open create or lock a
    // file anywhere the user may write.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        lastError_ = errno == ELOOP ? "the lock file " + path + " is a symbolic link"
                                    : "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK)
            lastError_ = "cannot lock " + path + ": " + std::strerror(error);
        return false;
    }
    fd_ = fd;
    return true;
}

void TFolderLock::Unlock()
{
    if (fd_ < 0)
        return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}
