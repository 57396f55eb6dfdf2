#pragma once

// Keeps other processes out of the data folder while a run of this one
// checks or sends its sites. A run started through event processing during
// another belongs to this process and shares the hold (it cancels the running
// fetch); only another process is kept out.

#include "platform/FolderLock.h"

#include <string>
#include <utility>

class TPassLock {
public:
    explicit TPassLock(std::string folder) : folder_(std::move(folder)) {}
    TPassLock(const TPassLock&) = delete;
    TPassLock& operator=(const TPassLock&) = delete;

    bool Enter()
    {
        if (depth_ == 0 && !lock_.TryLock(folder_))
            return false;
        ++depth_;
        return true;
    }
    void Leave()
    {
        if (depth_ > 0 && --depth_ == 0)
            lock_.Unlock();
    }
    // Why the last Enter failed: empty when another process holds the
    // folder, else what is wrong with its lock file.
    const std::string& LastError() const { return lock_.LastError(); }

private:
    std::string folder_;
    TFolderLock lock_;
    int depth_ = 0;
};

// The hold for one run, given back on every path out of it.
class TPassLockScope {
public:
    explicit TPassLockScope(TPassLock& lock) : lock_(lock), held_(lock.Enter()) {}
    ~TPassLockScope()
    {
        if (held_)
            lock_.Leave();
    }
    TPassLockScope(const TPassLockScope&) = delete;
    TPassLockScope& operator=(const TPassLockScope&) = delete;

    // False when another process is checking these sites, or the lock file
    // cannot be used (Error).
    bool Held() const { return held_; }
    const std::string& Error() const { return lock_.LastError(); }

private:
    TPassLock& lock_;
    bool held_;
};
