// One copy per user, with the real program on a virtual X desktop without a
// notification area: each test copies it under a name of its own (the guard's
// names come from the file name), gives it a data folder with its own settings
// and site list, and follows it as a user and the other copies would: its
// window on screen, its data folder, its exit status and its named objects.
// Without a notification area the log-on start ("/start") comes up as a
// minimised window; "shown" means on screen as a normal window.

#include "engine/SiteList.h"
#include "platform/InstanceGuard.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/XDesktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <semaphore.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr long IconicState = 3;
constexpr int MainWidth = 495;
constexpr int MainHeight = 567;

// Every file below the folder with its size, time and contents.
std::map<std::string, std::string> Snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec)) {
        const auto time = fs::last_write_time(e.path(), ec).time_since_epoch().count();
        files[e.path().string()] = std::to_string(time) + (e.is_regular_file() ? ":" + ReadFile(e.path().string()) : "/");
    }
    return files;
}

// The mailbox as another program would read it.
std::vector<unsigned char> ReadBlock(const std::string& name)
{
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return {};
    struct stat st{};
    fstat(fd, &st);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(st.st_size));
    void* view = mmap(nullptr, bytes.size(), PROT_READ, MAP_SHARED, fd, 0);
    if (view != MAP_FAILED) {
        std::memcpy(bytes.data(), view, bytes.size());
        munmap(view, bytes.size());
    }
    close(fd);
    return bytes;
}

std::int32_t Int32At(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    std::int32_t v = 0;
    if (offset + sizeof v <= bytes.size())
        std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

std::string SlotText(const std::vector<unsigned char>& block, int slot)
{
    const std::size_t at = TInstanceGuard::FirstSlotOffset + TInstanceGuard::SlotSize * static_cast<std::size_t>(slot);
    if (at >= block.size())
        return {};
    return std::string(reinterpret_cast<const char*>(block.data() + at));
}

// The guard's semaphore: 1 while nobody holds the mailbox, -1 without one.
int SemaphoreValue(const std::string& name)
{
    sem_t* sem = sem_open(name.c_str(), 0);
    if (sem == SEM_FAILED)
        return -1;
    int value = -1;
    sem_getvalue(sem, &value);
    sem_close(sem);
    return value;
}

class ProgramStartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string missing = TXDesktop::Missing(false);
        if (!missing.empty())
            GTEST_SKIP() << missing << " is not installed";
        desktop_ = std::make_unique<TXDesktop>(false);
        ASSERT_TRUE(desktop_->Ready()) << "the virtual desktop did not come up";
        // Every copy, also those run to their end, meets the one desktop.
        keptDisplay_ = Environment("DISPLAY");
        keptPlatform_ = Environment("QT_QPA_PLATFORM");
        keptLeakOptions_ = Environment("LSAN_OPTIONS");
        setenv("DISPLAY", desktop_->Display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Under the sanitizers a leak report would change the exit status
        // the tests look at; the desktop libraries' own leaks are theirs.
        const std::string leakOptions = (keptLeakOptions_ ? *keptLeakOptions_ + ":" : std::string())
                                        + "suppressions=" VENDREL_FIXTURES_DIR "/desktop-leaks.supp";
        setenv("LSAN_OPTIONS", leakOptions.c_str(), 1);

        fs::create_directories(home_.DataFolder());
        // One unticked site: a check pass has nothing to fetch.
        WriteFile(home_.DataFolder() + "Sites.dat", "*" + MakeSiteEntry("Quiet", "http://127.0.0.1:9/", -2) + "\r\n");
        WriteFile(home_.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\n[Settings]\r\nDestEmail=me@example.test\r\n"
                  "ActiveNetConnection=False\r\nOncePerDay=False\r\nCheckFrequency=60\r\nCheckFrequencyScale=0\r\n");
    }
    void TearDown() override
    {
        for (int pid : started_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        Restore("DISPLAY", keptDisplay_);
        Restore("QT_QPA_PLATFORM", keptPlatform_);
        Restore("LSAN_OPTIONS", keptLeakOptions_);
        desktop_.reset();
    }

    // Starts a copy that keeps running; its output goes to the test's.
    int Start(const std::vector<std::string>& params)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(copy_.Path().c_str())};
            for (const auto& p : params)
                argv.push_back(const_cast<char*>(p.c_str()));
            argv.push_back(nullptr);
            execv(copy_.Path().c_str(), argv.data());
            _exit(127);
        }
        started_.push_back(pid);
        return pid;
    }
    // Runs a copy to its end; gives its exit status.
    int Run(const std::vector<std::string>& params)
    {
        std::vector<std::string> argv{copy_.Path()};
        argv.insert(argv.end(), params.begin(), params.end());
        return RunCommand(argv, 60000).ExitStatus;
    }

    // The program's main windows, on screen or not.
    std::vector<unsigned long> MainWindows() const
    {
        std::vector<unsigned long> found;
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName()))
            if (desktop_->Caption(w) == "Vendrel, Web Site Delivery Software")
                found.push_back(w);
        return found;
    }
    unsigned long MainWindow() const { return desktop_->WindowOfSize(copy_.FileName(), MainWidth, MainHeight); }
    // Up and waiting in the taskbar, as the log-on start leaves it.
    bool Minimised() const
    {
        const unsigned long w = MainWindow();
        return w != 0 && desktop_->WmState(w) == IconicState && !desktop_->Viewable(w);
    }
    bool Shown() const { return desktop_->Viewable(MainWindow()); }

    TInstanceNames Names() const { return copy_.Names(); }
    // The copy whose process id the mailbox names as the running one.
    int RunningCopy() const { return Int32At(ReadBlock(Names().Mailbox), 0); }
    // The mailbox is free again: the running copy has read what was handed.
    bool MailboxFree() const { return SemaphoreValue(Names().Semaphore) == 1; }
    // Where the system keeps a named object.
    static std::string ShmPath(const std::string& name) { return "/dev/shm" + name; }
    static std::string SemPath(const std::string& name) { return "/dev/shm/sem." + name.substr(1); }
    // Waits for a started copy to end; its exit status, or -1 when it did not
    // end in time or ended by a signal.
    int AwaitEnd(int pid, int timeoutMs = 20000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                started_.erase(std::find(started_.begin(), started_.end(), pid));
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    static std::optional<std::string> Environment(const char* name)
    {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value)
    {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }

    TTempDataFolder home_;
    TProgramCopy copy_{VENDREL_PROGRAM, home_};
    std::unique_ptr<TXDesktop> desktop_;
    std::optional<std::string> keptDisplay_;
    std::optional<std::string> keptPlatform_;
    std::optional<std::string> keptLeakOptions_;
    std::vector<int> started_;
};

} // namespace

TEST_F(ProgramStartTest, SecondStartWithoutArgumentsShowsTheHiddenWindowAndWritesNothing)
{
    const int running = Start({"/start"});
    ASSERT_TRUE(WaitUntil([&] { return Minimised(); }, 30000)) << "the log-on start never came up minimised";
    const auto before = Snapshot(home_.Root() + "data");

    EXPECT_EQ(Run({}), 0);
    ASSERT_TRUE(WaitUntil([&] { return Shown(); }, 20000)) << "the second start did not show the window";
    // The copy that handed over made no window, ran no pass and wrote nothing.
    EXPECT_EQ(MainWindows().size(), 1u);
    EXPECT_EQ(Snapshot(home_.Root() + "data"), before);
    EXPECT_EQ(kill(running, 0), 0);

    // The names come from the program file; offset 0 holds the running copy.
    const auto block = ReadBlock(Names().Mailbox);
    ASSERT_EQ(block.size(), 3018u);
    EXPECT_EQ(Int32At(block, 0), running);
    EXPECT_EQ(Int32At(block, 4), 0);
    EXPECT_TRUE(fs::exists("/dev/shm/sem." + Names().Semaphore.substr(1)));
}

TEST_F(ProgramStartTest, ADataFolderThatCannotBeMadeIsSaidAndNoOtherFolderIsUsed)
{
    // Another local user's planted files in the shared temporary folder.
    const std::string shared = home_.Root() + "shared-tmp/";
    WriteFile(shared + "Sites.dat", MakeSiteEntry("Planted", "http://127.0.0.1:9/", -1) + "\r\n");
    WriteFile(shared + "Settings.dat", "[Settings]\r\nDestEmail=them@example.test\r\n");
    const auto planted = Snapshot(shared);
    // Qt keeps its runtime folder in the temporary folder when the session names none.
    const auto oldRuntime = Environment("XDG_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", (home_.Root() + "runtime").c_str(), 1);
    fs::create_directories(home_.Root() + "runtime");
    fs::permissions(home_.Root() + "runtime", fs::perms::owner_all, fs::perm_options::replace);
    const std::string blocker = home_.Root() + "not-a-folder";
    WriteFile(blocker, "in the way");
    const auto oldData = Environment("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", blocker.c_str(), 1);
    setenv("TMPDIR", shared.c_str(), 1);

    TCommandResult r;
    std::thread run([&] { r = RunCommand({copy_.Path()}, 60000); });
    // The box says why; the user reads it and presses Enter.
    unsigned long box = 0;
    const bool boxShown = WaitUntil([&] {
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName()))
            if (desktop_->Viewable(w) && desktop_->Caption(w) == "Vendrel")
                box = w;
        return box != 0;
    }, 30000);
    EXPECT_TRUE(boxShown) << "no message box came up";
    EXPECT_TRUE(MainWindows().empty()) << "a window came up over another folder";
    if (boxShown) {
        desktop_->Xdotool({"windowactivate", "--sync", std::to_string(box)});
        desktop_->Xdotool({"key", "Return"});
    }
    run.join();
    Restore("XDG_DATA_HOME", oldData);
    unsetenv("TMPDIR");
    Restore("XDG_RUNTIME_DIR", oldRuntime);

    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("Vendrel cannot make its data folder " + blocker + "/Quorvan/Vendrel/ (cannot make the folder " +
                         blocker + "/: a file of that name is in the way)"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(Snapshot(shared), planted);
}

TEST_F(ProgramStartTest, SecondStartWithArgumentsHandsOverTenCutTo300AndLeavesTheWindowDown)
{
    const int running = Start({"/start"});
    ASSERT_TRUE(WaitUntil([&] { return Minimised(); }, 30000));
    std::vector<std::string> params{"/start", std::string(400, 'v')};
    for (int i = 3; i <= 11; ++i)
        params.push_back("a" + std::to_string(i));
    const auto before = Snapshot(home_.Root() + "data");
    EXPECT_EQ(Run(params), 0);
    ASSERT_TRUE(WaitUntil([&] { return MailboxFree(); }, 20000)) << "the running copy never read the mailbox";

    const auto block = ReadBlock(Names().Mailbox);
    ASSERT_EQ(block.size(), 3018u);
    EXPECT_EQ(Int32At(block, 0), running);
    EXPECT_EQ(Int32At(block, 4), 10);
    EXPECT_EQ(SlotText(block, 0), "/start");
    EXPECT_EQ(SlotText(block, 1), std::string(300, 'v'));
    EXPECT_EQ(SlotText(block, 9), "a10");
    // With arguments the running copy only comes forward: its window stays down.
    EXPECT_TRUE(Stays([&] { return Minimised(); }));
    EXPECT_EQ(MainWindows().size(), 1u);
    EXPECT_EQ(Snapshot(home_.Root() + "data"), before);
}

TEST_F(ProgramStartTest, StartsTogetherAreServedOneAfterTheOther)
{
    const int running = Start({"/start"});
    ASSERT_TRUE(WaitUntil([&] { return RunningCopy() == running && MailboxFree(); }, 30000));
    std::vector<int> status(3, -1);
    std::vector<std::thread> starts;
    for (int i = 0; i < 3; ++i)
        starts.emplace_back([this, i, &status] {
            status[static_cast<std::size_t>(i)] =
                Run({"copy" + std::to_string(i), std::string(280, static_cast<char>('a' + i))});
        });
    for (auto& t : starts)
        t.join();
    // Each one handed over and ended; none was left waiting and none took over.
    EXPECT_EQ(status, (std::vector<int>{0, 0, 0}));
    ASSERT_TRUE(WaitUntil([&] { return MailboxFree(); }, 20000)) << "the mailbox stayed taken";
    const auto block = ReadBlock(Names().Mailbox);
    EXPECT_EQ(Int32At(block, 0), running);
    ASSERT_EQ(Int32At(block, 4), 2);
    // Whichever came last, its two arguments are its own, not a mix.
    const std::string name = SlotText(block, 0);
    ASSERT_EQ(name.size(), 5u);
    EXPECT_EQ(SlotText(block, 1), std::string(280, static_cast<char>('a' + (name.back() - '0'))));
    EXPECT_EQ(kill(running, 0), 0);
    EXPECT_FALSE(Shown());
}

TEST_F(ProgramStartTest, NextStartAfterTheRunningCopyIsKilledBecomesTheRunningCopy)
{
    const int first = Start({"/start"});
    ASSERT_TRUE(WaitUntil([&] { return RunningCopy() == first && Minimised(); }, 30000));
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    started_.erase(std::find(started_.begin(), started_.end(), first));
    ASSERT_TRUE(WaitUntil([&] { return MainWindow() == 0; })) << "the killed copy's window stayed";

    const auto began = std::chrono::steady_clock::now();
    const int next = Start({"/start"});
    ASSERT_TRUE(WaitUntil([&] { return RunningCopy() == next; }, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(8));
    EXPECT_TRUE(WaitUntil([&] { return Minimised(); }, 30000)) << "the new running copy has no window";

    // And the copy after it reaches it.
    EXPECT_EQ(Run({}), 0);
    EXPECT_TRUE(WaitUntil([&] { return Shown(); }, 20000));
    EXPECT_EQ(MainWindows().size(), 1u);
}

TEST_F(ProgramStartTest, TermAndIntEndTheProgramLikeExitAndRemoveItsNamedObjects)
{
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGINT");
        const std::string settings = ReadFile(home_.DataFolder() + "Settings.dat");
        const int running = Start({"/start"});
        ASSERT_TRUE(WaitUntil([&] { return Minimised(); }, 30000));
        const TInstanceNames names = Names();
        ASSERT_TRUE(fs::exists(ShmPath(names.Mailbox)));
        ASSERT_TRUE(fs::exists(SemPath(names.Semaphore)));
        // The program-wide name is shared by every copy of this user, also
        // other tests' copies: what shows this copy removed it is that the
        // object it held is no longer the one under the name.
        const std::string mutexPath = SemPath(ProgramMutexName());
        struct stat held{};
        ASSERT_EQ(stat(mutexPath.c_str(), &held), 0) << "the running copy holds " << mutexPath;

        kill(running, signo);
        // Killed by the signal, it would have no exit status of its own.
        EXPECT_EQ(AwaitEnd(running), 0) << "the copy ended by itself, with success";
        EXPECT_FALSE(fs::exists(ShmPath(names.Mailbox)));
        EXPECT_FALSE(fs::exists(SemPath(names.Semaphore)));
        struct stat after{};
        if (stat(mutexPath.c_str(), &after) == 0) {
            EXPECT_NE(after.st_ino, held.st_ino) << "the copy left its mutex behind";
        }
        EXPECT_EQ(ReadFile(home_.DataFolder() + "Settings.dat"), settings) << "nothing was saved";
        EXPECT_TRUE(WaitUntil([&] { return MainWindow() == 0; })) << "its window stayed";

        // The next start is the running copy again, not a hand-over.
        const int next = Start({"/start"});
        ASSERT_TRUE(WaitUntil([&] { return RunningCopy() == next && Minimised(); }, 30000));
        kill(next, SIGTERM);
        EXPECT_EQ(AwaitEnd(next), 0);
    }
}
