// One copy per user, with the real program: each test copies it under a name
// of its own (the guard's names come from the file name), gives it a data
// folder with its own settings and site list, and follows what it does
// through the status file the program writes for tests.
// Offscreen there is no notification area: "/start" comes up minimised
// ("shown minimised"), and "shown" means on screen as a normal window.

#include "engine/SiteList.h"
#include "platform/InstanceGuard.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDataFolder.h"

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

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto nl = text.find('\n', start);
        if (nl == std::string::npos)
            break;
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

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
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

class ProgramStartTest : public ::testing::Test {
protected:
    ProgramStartTest()
    {
        fileName_ = "vendrel-" + fs::path(home_.Root()).parent_path().filename().string().substr(13);
        program_ = home_.Root() + fileName_;
        fs::copy_file(VENDREL_PROGRAM, program_);
        status_ = home_.Root() + "status.txt";
        setenv("VENDREL_STATUS_FILE", status_.c_str(), 1);
        fs::create_directories(home_.DataFolder());
        // One unticked site: a check pass has nothing to fetch.
        WriteFile(home_.DataFolder() + "Sites.dat", "*" + MakeSiteEntry("Quiet", "http://127.0.0.1:9/", -2) + "\r\n");
        WriteFile(home_.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\n[Settings]\r\nDestEmail=me@example.test\r\n"
                  "ActiveNetConnection=False\r\nOncePerDay=False\r\nCheckFrequency=60\r\nCheckFrequencyScale=0\r\n");
    }
    ~ProgramStartTest() override
    {
        for (int pid : started_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        // Killed copies leave their named objects behind.
        const TInstanceNames names = Names();
        shm_unlink(names.Mailbox.c_str());
        sem_unlink(names.Semaphore.c_str());
        unsetenv("VENDREL_STATUS_FILE");
    }

    // Starts a copy that keeps running; its output goes to the test's.
    int Start(const std::vector<std::string>& params)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{program_.data()};
            for (const auto& p : params)
                argv.push_back(const_cast<char*>(p.c_str()));
            argv.push_back(nullptr);
            execv(program_.c_str(), argv.data());
            _exit(127);
        }
        started_.push_back(pid);
        return pid;
    }
    // Runs a copy to its end; gives its exit status.
    int Run(const std::vector<std::string>& params)
    {
        std::vector<std::string> argv{program_};
        argv.insert(argv.end(), params.begin(), params.end());
        return RunCommand(argv, 60000).ExitStatus;
    }

    std::vector<std::string> Status() const { return LinesOf(ReadFile(status_)); }
    bool HasStatus(const std::string& line) const
    {
        const auto lines = Status();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool AwaitStatus(const std::string& line, int timeoutMs = 20000) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!HasStatus(line)) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::size_t CountStatus(const std::string& prefix) const
    {
        std::size_t n = 0;
        for (const auto& l : Status())
            n += l.rfind(prefix, 0) == 0;
        return n;
    }
    // The params the running copy reported for its k-th new start.
    std::vector<std::string> Handed(std::size_t k) const
    {
        const auto lines = Status();
        std::size_t seen = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind("instance started ", 0) != 0)
                continue;
            if (seen++ != k)
                continue;
            const std::size_t n = std::stoul(lines[i].substr(17));
            std::vector<std::string> params;
            for (std::size_t j = 1; j <= n && i + j < lines.size(); ++j) {
                const std::string& l = lines[i + j];
                params.push_back(l.substr(l.find(' ', 6) + 1));
            }
            return params;
        }
        return {};
    }

    TInstanceNames Names() const { return InstanceNamesFor(fileName_, static_cast<unsigned>(getuid())); }
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

    TTempDataFolder home_;
    std::string fileName_;
    std::string program_;
    std::string status_;
    std::vector<int> started_;
};

} // namespace

TEST_F(ProgramStartTest, SecondStartWithoutArgumentsShowsTheHiddenWindowAndWritesNothing)
{
    const int running = Start({"/start"});
    // Only a copy that is ready has made what it makes at start ("HTML/").
    ASSERT_TRUE(AwaitStatus("ready " + std::to_string(running)));
    EXPECT_FALSE(HasStatus("shown"));
    const auto before = Snapshot(home_.Root() + "data");

    EXPECT_EQ(Run({}), 0);
    ASSERT_TRUE(AwaitStatus("shown"));
    EXPECT_TRUE(HasStatus("instance started 0"));
    EXPECT_EQ(CountStatus("new "), 1u);
    // The copy that handed over made no window, ran no pass and wrote nothing.
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
    const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string keptRuntime = oldRuntime ? oldRuntime : "";
    setenv("XDG_RUNTIME_DIR", (home_.Root() + "runtime").c_str(), 1);
    fs::create_directories(home_.Root() + "runtime");
    fs::permissions(home_.Root() + "runtime", fs::perms::owner_all, fs::perm_options::replace);
    const std::string blocker = home_.Root() + "not-a-folder";
    WriteFile(blocker, "in the way");
    const std::string oldData = std::getenv("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", blocker.c_str(), 1);
    setenv("TMPDIR", shared.c_str(), 1);
    // The box waits for an answer that never comes; the time-out ends it.
    std::vector<std::string> argv{program_};
    const auto r = RunCommand(argv, 5000);
    setenv("XDG_DATA_HOME", oldData.c_str(), 1);
    unsetenv("TMPDIR");
    if (oldRuntime)
        setenv("XDG_RUNTIME_DIR", keptRuntime.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    EXPECT_NE(r.Err.find("Vendrel cannot make its data folder " + blocker + "/Quorvan/Vendrel/ (cannot make the folder " +
                         blocker + "/: a file of that name is in the way)"),
              std::string::npos)
        << r.Err;
    EXPECT_FALSE(HasStatus("shown")) << "a window came up over another folder";
    EXPECT_EQ(Snapshot(shared), planted);
}

TEST_F(ProgramStartTest, SecondStartWithArgumentsHandsOverTenCutTo300)
{
    const int running = Start({"/start"});
    ASSERT_TRUE(AwaitStatus("ready " + std::to_string(running)));
    std::vector<std::string> params{"/start", std::string(400, 'v')};
    for (int i = 3; i <= 11; ++i)
        params.push_back("a" + std::to_string(i));
    const auto before = Snapshot(home_.Root() + "data");
    EXPECT_EQ(Run(params), 0);
    ASSERT_TRUE(AwaitStatus("instance started 10"));
    const auto handed = Handed(0);
    ASSERT_EQ(handed.size(), 10u);
    EXPECT_EQ(handed[0], "/start");
    EXPECT_EQ(handed[1], std::string(300, 'v'));
    EXPECT_EQ(handed[9], "a10");
    const auto block = ReadBlock(Names().Mailbox);
    ASSERT_EQ(block.size(), 3018u);
    EXPECT_EQ(Int32At(block, 4), 10);
    // Slot i starts at 8 + 301 i and ends with a zero byte.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data() + 8 + 301 * 9)), "a10");
    EXPECT_EQ(block[8 + 301 * 1 + 300], 0);
    // With arguments the running copy only comes forward: its window stays hidden.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(HasStatus("shown"));
    EXPECT_EQ(Snapshot(home_.Root() + "data"), before);
}

TEST_F(ProgramStartTest, StartsTogetherAreServedOneAfterTheOther)
{
    const int running = Start({"/start"});
    ASSERT_TRUE(AwaitStatus("running " + std::to_string(running)));
    std::vector<std::thread> starts;
    for (int i = 0; i < 3; ++i)
        starts.emplace_back([this, i] { Run({"copy" + std::to_string(i), std::string(280, static_cast<char>('a' + i))}); });
    for (auto& t : starts)
        t.join();
    ASSERT_TRUE(AwaitStatus("instance started 2"));
    ASSERT_EQ(CountStatus("instance started 2"), 3u);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto handed = Handed(k);
        ASSERT_EQ(handed.size(), 2u);
        EXPECT_EQ(handed[1], std::string(280, static_cast<char>('a' + (handed[0].back() - '0'))));
        names.push_back(handed[0]);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"copy0", "copy1", "copy2"}));
    EXPECT_EQ(CountStatus("new "), 3u);
}

TEST_F(ProgramStartTest, NextStartAfterTheRunningCopyIsKilledBecomesTheRunningCopy)
{
    const int first = Start({"/start"});
    ASSERT_TRUE(AwaitStatus("running " + std::to_string(first)));
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);

    const auto started = std::chrono::steady_clock::now();
    const int next = Start({"/start"});
    ASSERT_TRUE(AwaitStatus("running " + std::to_string(next)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_EQ(CountStatus("new "), 0u);

    // And the copy after it reaches it.
    EXPECT_EQ(Run({}), 0);
    EXPECT_TRUE(AwaitStatus("shown"));
}

TEST_F(ProgramStartTest, TermAndIntEndTheProgramLikeExitAndRemoveItsNamedObjects)
{
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGINT");
        const std::string settings = ReadFile(home_.DataFolder() + "Settings.dat");
        const int running = Start({"/start"});
        ASSERT_TRUE(AwaitStatus("ready " + std::to_string(running)));
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
        EXPECT_EQ(AwaitEnd(running), 0) << "the copy ended by itself, with success";
        EXPECT_TRUE(HasStatus("signal " + std::to_string(signo)));
        EXPECT_TRUE(HasStatus("ended " + std::to_string(running)));
        EXPECT_FALSE(fs::exists(ShmPath(names.Mailbox)));
        EXPECT_FALSE(fs::exists(SemPath(names.Semaphore)));
        struct stat after{};
        if (stat(mutexPath.c_str(), &after) == 0) {
            EXPECT_NE(after.st_ino, held.st_ino) << "the copy left its mutex behind";
        }
        EXPECT_EQ(ReadFile(home_.DataFolder() + "Settings.dat"), settings) << "nothing was saved";

        // The next start is the running copy again, not a hand-over.
        const int next = Start({"/start"});
        ASSERT_TRUE(AwaitStatus("ready " + std::to_string(next)));
        kill(next, SIGTERM);
        EXPECT_EQ(AwaitEnd(next), 0);
        std::remove(status_.c_str());
    }
}
