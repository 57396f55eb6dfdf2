#pragma once

// One copy of the program per user. The first copy to start owns a small
// shared-memory block (the mailbox) and a semaphore that guards it; a copy
// started later writes its arguments into the mailbox, knocks on the running
// copy's wake socket and ends. Both named objects carry names derived from the
// program's file name, so copies under different file names do not meet.
//
// Named objects outlive a copy that crashed or was killed. The running copy
// therefore holds a lock on the block for its whole life: the system drops it
// with the process, and a new start that finds the block unlocked knows that
// nobody is left to hand over to, cleans up and becomes the running copy.

#include <functional>
#include <semaphore.h>
#include <string>
#include <vector>

struct TInstanceNames {
    std::string Mailbox;   // "/" + file name + "." + user id
    std::string Semaphore; // "/" + upper-cased file name + "SEM." + user id
    std::string Wake;      // prefix of the running copy's wake socket
};

// The arguments a mailbox holds: the count at offset 4 kept to 0..10, each
// slot read up to its first zero byte and never past 300 characters, whoever
// wrote the block.
std::vector<std::string> MailboxParams(const unsigned char* block);

// The names for a program file name (without its folder) and a user id.
TInstanceNames InstanceNamesFor(const std::string& programFileName, unsigned userId);
// The names for this process: its own program file and its user.
TInstanceNames OwnInstanceNames();

enum class TInstanceRole {
    Undecided,
    // The guard could not set itself up; the program runs without it.
    Unguarded,
    RunningCopy,
    // Handed its arguments over (or tried to for as long as allowed): it must end.
    NewCopy,
};

class TInstanceGuard {
public:
    static constexpr int MailboxSize = 3018;
    static constexpr int CountOffset = 4;
    static constexpr int FirstSlotOffset = 8;
    static constexpr int SlotSize = 301;
    static constexpr int MaxParams = 10;
    static constexpr int MaxParamLength = 300;
    static constexpr int InstanceStartedMessage = 1324;
    static constexpr int DefaultWaitMs = 10000;

    // waitMs bounds each of the new copy's two waits.
    explicit TInstanceGuard(TInstanceNames names, int waitMs = DefaultWaitMs);
    // The running copy removes the names before it lets go of the block.
    ~TInstanceGuard();
    TInstanceGuard(const TInstanceGuard&) = delete;
    TInstanceGuard& operator=(const TInstanceGuard&) = delete;

    // The start-up check, run once: decides this copy's role. params are the
    // command-line arguments without the program path. Throws
    // std::runtime_error("Unable to create semaphore") when the running copy
    // cannot make its semaphore.
    TInstanceRole Start(const std::vector<std::string>& params);
    TInstanceRole Role() const { return role_; }

    // Bring the running copy forward on each new start.
    bool ShowOnNewInstance = true;
    std::function<void()> OnBringForward;
    // Raised in the running copy for each new start, with its arguments in order.
    std::function<void(const std::vector<std::string>& params)> OnInstanceStarted;

    // Running copy: readable when a new copy has knocked; -1 in other roles.
    int WakeHandle() const { return wake_; }
    // Running copy: handles every knock waiting at the wake socket. The
    // mailbox is released after each, also when a handler throws.
    void HandleWake();

    const TInstanceNames& Names() const { return names_; }

private:
    enum class THandOver { Done, OwnerGone, Unguarded };
    bool BecomeRunningCopy(int fd);
    THandOver HandOver(int fd, const std::vector<std::string>& params);
    void HandleInstanceStarted();

    TInstanceNames names_;
    int waitMs_;
    TInstanceRole role_ = TInstanceRole::Undecided;
    int block_ = -1;       // the mailbox, locked while this copy runs
    int wake_ = -1;        // the wake socket
    sem_t* sem_ = nullptr; // SEM_FAILED never stays here
};

// The named mutex that the program holds for its whole life. Nothing waits
// on it; it only tells other tools that the program is running, so the name
// is removed when the holder ends.
class TNamedMutex {
public:
    explicit TNamedMutex(const std::string& name);
    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;
    bool Held() const { return sem_ != nullptr; }

private:
    std::string name_;
    sem_t* sem_ = nullptr;
};

// "Vendrel_Mutex" made per user: "/Vendrel_Mutex." + user id.
std::string ProgramMutexName();
