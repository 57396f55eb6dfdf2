#include "platform/InstanceGuard.h"

#include "platform/Folders.h"
#include "platform/Text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using TClockPoint = std::chrono::steady_clock::time_point;

// Semaphores live as "sem." + name in the same folder as the blocks, whose
// names the system limits to one path component.
constexpr std::size_t MaxFileNamePart = 200;

// The wait is cut into slices so that a copy that died meanwhile is noticed
// long before the whole wait runs out.
constexpr auto WaitSlice = std::chrono::milliseconds(200);

// What the knock carries: the message number and its two parameters, all 0.
struct TKnock {
    std::int32_t Message;
    std::int32_t WParam;
    std::int32_t LParam;
};

TClockPoint Now()
{
    return std::chrono::steady_clock::now();
}

// sem_timedwait takes a wall-clock deadline; a slice is short enough that a
// clock step during it costs at most one slice.
bool TimedWait(sem_t* sem, std::chrono::milliseconds span)
{
    if (span.count() <= 0)
        return sem_trywait(sem) == 0;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const long long ns = ts.tv_nsec + static_cast<long long>(span.count()) * 1000000LL;
    ts.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    for (;;) {
        if (sem_timedwait(sem, &ts) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

std::chrono::milliseconds Left(TClockPoint deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

// The semaphore's maximum count is 1; a POSIX semaphore has none, so a
// release only ever turns "taken" into "free".
void ReleaseOnce(sem_t* sem)
{
    int value = 0;
    if (sem_getvalue(sem, &value) == 0 && value > 0)
        return;
    sem_post(sem);
}

sockaddr_un WakeAddress(const std::string& prefix, std::int32_t pid, socklen_t& length)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // An abstract name: no file to leave behind, gone with the process.
    const std::string name = prefix + "." + std::to_string(pid);
    const std::size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    return addr;
}

// The running copy has ended when nobody holds the block's lock any more.
bool OwnerGone(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    flock(fd, LOCK_UN);
    return true;
}

void* MapBlock(int fd)
{
    void* view = mmap(nullptr, TInstanceGuard::MailboxSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

// A block that a copy is still sizing reads as too small to map safely.
bool BlockReady(int fd)
{
    struct stat st{};
    return fstat(fd, &st) == 0 && st.st_size >= TInstanceGuard::MailboxSize;
}

} // namespace

std::vector<std::string> MailboxParams(const unsigned char* block)
{
    std::int32_t count = 0;
    std::memcpy(&count, block + TInstanceGuard::CountOffset, sizeof count);
    count = std::max<std::int32_t>(0, std::min<std::int32_t>(count, TInstanceGuard::MaxParams));
    std::vector<std::string> params;
    for (int i = 0; i < count; ++i) {
        const auto* slot = reinterpret_cast<const char*>(block + TInstanceGuard::FirstSlotOffset + i * TInstanceGuard::SlotSize);
        params.emplace_back(slot, strnlen(slot, TInstanceGuard::MaxParamLength));
    }
    return params;
}

TInstanceNames InstanceNamesFor(const std::string& programFileName, unsigned userId)
{
    std::string file = programFileName.substr(0, MaxFileNamePart);
    for (char& c : file)
        if (c == '/')
            c = '_';
    const std::string user = std::to_string(userId);
    TInstanceNames names;
    names.Mailbox = "/" + file + "." + user;
    names.Semaphore = "/" + UpperCase(file + "Sem") + "." + user;
    names.Wake = file + ".wake." + user;
    return names;
}

TInstanceNames OwnInstanceNames()
{
    const std::string path = ProgramPath();
    const auto slash = path.find_last_of('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    return InstanceNamesFor(file.empty() ? std::string("vendrel") : file, static_cast<unsigned>(getuid()));
}

TInstanceGuard::TInstanceGuard(TInstanceNames names, int waitMs)
    : names_(std::move(names)), waitMs_(waitMs)
{
}

TInstanceGuard::~TInstanceGuard()
{
    if (role_ == TInstanceRole::RunningCopy) {
        // Names first, lock last: a copy that sees the lock go finds the names
        // gone too and makes fresh objects instead of taking over stale ones.
        sem_unlink(names_.Semaphore.c_str());
        shm_unlink(names_.Mailbox.c_str());
    }
    if (wake_ >= 0)
        close(wake_);
    if (sem_)
        sem_close(sem_);
    if (block_ >= 0)
        close(block_);
}

TInstanceRole TInstanceGuard::Start(const std::vector<std::string>& params)
{
    if (role_ != TInstanceRole::Undecided)
        return role_;
    // Each round either decides or finds that the copy it was talking to has
    // ended; a few rounds cover copies that end while others start.
    for (int round = 0; round < 20; ++round) {
        const int fd = shm_open(names_.Mailbox.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return role_ = TInstanceRole::Unguarded;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (!BecomeRunningCopy(fd))
                return role_ = TInstanceRole::Unguarded;
            return role_ = TInstanceRole::RunningCopy;
        }
        if (errno != EWOULDBLOCK) {
            close(fd);
            return role_ = TInstanceRole::Unguarded;
        }
        const THandOver result = HandOver(fd, params);
        close(fd);
        if (result == THandOver::Done)
            return role_ = TInstanceRole::NewCopy;
        if (result == THandOver::Unguarded)
            return role_ = TInstanceRole::Unguarded;
    }
    return role_ = TInstanceRole::Unguarded;
}

bool TInstanceGuard::BecomeRunningCopy(int fd)
{
    // The block may be left over from a copy that was killed: its contents,
    // its semaphore and whatever state that semaphore was in are all stale.
    void* view = nullptr;
    if (ftruncate(fd, MailboxSize) != 0 || !(view = MapBlock(fd))) {
        close(fd);
        return false;
    }
    std::memset(view, 0, MailboxSize);

    const int wake = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    socklen_t length = 0;
    const sockaddr_un addr = WakeAddress(names_.Wake, static_cast<std::int32_t>(getpid()), length);
    if (wake < 0 || setsockopt(wake, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        bind(wake, reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
        if (wake >= 0)
            close(wake);
        munmap(view, MailboxSize);
        close(fd);
        return false;
    }

    sem_unlink(names_.Semaphore.c_str());
    sem_t* sem = sem_open(names_.Semaphore.c_str(), O_CREAT | O_EXCL, 0600, 0);
    if (sem == SEM_FAILED) {
        close(wake);
        munmap(view, MailboxSize);
        shm_unlink(names_.Mailbox.c_str());
        close(fd);
        throw std::runtime_error("Unable to create semaphore");
    }

    const std::int32_t pid = static_cast<std::int32_t>(getpid());
    std::memcpy(view, &pid, sizeof pid);
    munmap(view, MailboxSize);
    block_ = fd;
    wake_ = wake;
    sem_ = sem;
    sem_post(sem_);
    return true;
}

TInstanceGuard::THandOver TInstanceGuard::HandOver(int fd, const std::vector<std::string>& params)
{
    const auto firstDeadline = Now() + std::chrono::milliseconds(waitMs_);
    for (;;) {
        // The running copy may still be making its semaphore, or replacing a
        // dead copy's, so the name is opened afresh for every slice.
        sem_t* sem = sem_open(names_.Semaphore.c_str(), 0);
        bool taken = false;
        if (sem != SEM_FAILED) {
            taken = TimedWait(sem, std::min<std::chrono::milliseconds>(WaitSlice, Left(firstDeadline)));
            if (!taken)
                sem_close(sem);
        } else {
            std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(std::chrono::milliseconds(50), Left(firstDeadline)));
        }
        if (!taken) {
            if (OwnerGone(fd))
                return THandOver::OwnerGone;
            // Mailbox held by other hand-overs for the whole wait: this
            // copy's arguments are lost, and it releases nothing it never took.
            if (Left(firstDeadline).count() == 0)
                return THandOver::Done;
            continue;
        }

        // Gives the mailbox back for another try a moment later; the outcome
        // instead when the owner ended or the first wait is over.
        const auto giveBack = [&]() -> std::optional<THandOver> {
            ReleaseOnce(sem);
            sem_close(sem);
            if (OwnerGone(fd))
                return THandOver::OwnerGone;
            if (Left(firstDeadline).count() == 0)
                return THandOver::Done;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return std::nullopt;
        };
        if (!BlockReady(fd)) {
            // A semaphore left by a killed copy, taken while the new running
            // copy sizes the block: give it back and wait for the real one.
            if (const auto outcome = giveBack())
                return *outcome;
            continue;
        }
        void* view = MapBlock(fd);
        if (!view) {
            ReleaseOnce(sem);
            sem_close(sem);
            return THandOver::Unguarded;
        }
        auto* bytes = static_cast<unsigned char*>(view);
        const std::int32_t count = static_cast<std::int32_t>(std::min<std::size_t>(params.size(), MaxParams));
        std::memcpy(bytes + CountOffset, &count, sizeof count);
        for (int i = 0; i < count; ++i) {
            const std::string& p = params[static_cast<std::size_t>(i)];
            const std::size_t n = std::min<std::size_t>(p.size(), MaxParamLength);
            unsigned char* slot = bytes + FirstSlotOffset + i * SlotSize;
            std::memset(slot, 0, SlotSize);
            std::memcpy(slot, p.data(), n);
        }
        std::int32_t owner = 0;
        std::memcpy(&owner, bytes, sizeof owner);
        munmap(view, MailboxSize);

        bool knocked = false;
        if (owner > 0) {
            const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (s >= 0) {
                socklen_t length = 0;
                const sockaddr_un addr = WakeAddress(names_.Wake, owner, length);
                const TKnock knock{InstanceStartedMessage, 0, 0};
                knocked = sendto(s, &knock, sizeof knock, MSG_DONTWAIT,
                                 reinterpret_cast<const sockaddr*>(&addr), length) == static_cast<ssize_t>(sizeof knock);
                close(s);
            }
        }
        if (!knocked) {
            // Nobody will read the mailbox: free it again. Either the owner
            // ended (start over, perhaps as the running copy) or it is between
            // taking the block and opening its wake socket.
            if (const auto outcome = giveBack())
                return *outcome;
            continue;
        }

        // Lasts until the running copy has read the mailbox and released it.
        const auto secondDeadline = Now() + std::chrono::milliseconds(waitMs_);
        for (;;) {
            if (TimedWait(sem, std::min<std::chrono::milliseconds>(WaitSlice, Left(secondDeadline)))) {
                ReleaseOnce(sem);
                sem_close(sem);
                return THandOver::Done;
            }
            if (OwnerGone(fd)) {
                // It died before reading: these arguments would be lost and
                // the user left without a running copy.
                sem_close(sem);
                return THandOver::OwnerGone;
            }
            if (Left(secondDeadline).count() == 0) {
                // The running copy is busy; it still reads the mailbox when it
                // gets to the knock, and releases it then. Releasing it here
                // would let the next copy overwrite arguments not yet read.
                sem_close(sem);
                return THandOver::Done;
            }
        }
    }
}

void TInstanceGuard::HandleWake()
{
    if (wake_ < 0)
        return;
    for (;;) {
        TKnock knock{};
        iovec iov{&knock, sizeof knock};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(wake_, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // The socket's name is open to every user of the machine; only this
        // user's copies may make the running copy read its mailbox.
        bool sameUser = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred{};
                std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                sameUser = cred.uid == getuid();
            }
        if (sameUser && n == static_cast<ssize_t>(sizeof knock) && knock.Message == InstanceStartedMessage)
            HandleInstanceStarted();
    }
}

void TInstanceGuard::HandleInstanceStarted()
{
    void* view = MapBlock(block_);
    if (!view)
        return;
    // Releasing the mailbox ends the new copy's second wait, whatever the
    // handlers below do.
    struct TRelease {
        void* View;
        sem_t* Sem;
        ~TRelease()
        {
            munmap(View, MailboxSize);
            ReleaseOnce(Sem);
        }
    } release{view, sem_};

    const std::vector<std::string> params = MailboxParams(static_cast<const unsigned char*>(view));
    if (ShowOnNewInstance && OnBringForward)
        OnBringForward();
    if (OnInstanceStarted)
        OnInstanceStarted(params);
}

TNamedMutex::TNamedMutex(const std::string& name) : name_(name)
{
    sem_t* sem = sem_open(name.c_str(), O_CREAT, 0600, 1);
    if (sem != SEM_FAILED)
        sem_ = sem;
}

TNamedMutex::~TNamedMutex()
{
    if (!sem_)
        return;
    sem_close(sem_);
    // The name says the program runs; it goes with the program, and a later
    // start makes it afresh.
    sem_unlink(name_.c_str());
}

std::string ProgramMutexName()
{
    return "/Vendrel_Mutex." + std::to_string(getuid());
}
