// The single-instance guard between real processes: each test copies the
// probe program under a name of its own, so the guard's named objects are the
// test's alone, and starts copies of it side by side.

#include "platform/InstanceGuard.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <semaphore.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TProbeCopy {
public:
    explicit TProbeCopy(const std::string& stem = "probe")
    {
        std::string pattern = (fs::temp_directory_path() / "vendrel-guard-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder");
        dir_ = pattern;
        fileName_ = stem + "-" + fs::path(dir_).filename().string().substr(14);
        path_ = dir_ + "/" + fileName_;
        fs::copy_file(VENDREL_INSTANCE_PROBE, path_);
    }
    ~TProbeCopy()
    {
        // A copy killed by a test leaves its named objects behind.
        const TInstanceNames names = Names();
        shm_unlink(names.Mailbox.c_str());
        sem_unlink(names.Semaphore.c_str());
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    TInstanceNames Names() const { return InstanceNamesFor(fileName_, static_cast<unsigned>(getuid())); }
    const std::string& FileName() const { return fileName_; }

    std::vector<std::string> Argv(const std::vector<std::string>& options, const std::vector<std::string>& params = {}) const
    {
        std::vector<std::string> argv{path_};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        argv.insert(argv.end(), params.begin(), params.end());
        return argv;
    }

private:
    std::string dir_;
    std::string fileName_;
    std::string path_;
};

// What the running copy reported for one new start.
struct TReport {
    std::vector<std::string> Params;
};

std::optional<TReport> NextReport(TChildProcess& running, int timeoutMs = 15000)
{
    std::string line;
    do {
        line = running.ReadLine(timeoutMs);
        if (line.empty())
            return std::nullopt;
    } while (line.rfind("started ", 0) != 0);
    const int count = std::stoi(line.substr(8));
    TReport report;
    for (int i = 0; i < count; ++i) {
        line = running.ReadLine(timeoutMs);
        if (line.rfind("param ", 0) != 0)
            return std::nullopt;
        const auto blank = line.find(' ', 6);
        const std::size_t length = std::stoul(line.substr(6, blank - 6));
        std::string text = line.substr(blank + 1);
        EXPECT_EQ(length, text.size());
        report.Params.push_back(text);
    }
    if (running.ReadLine(timeoutMs) != "end")
        return std::nullopt;
    return report;
}

// Waits for a line that starts with prefix, skipping others.
bool AwaitLine(TChildProcess& process, const std::string& prefix, int timeoutMs = 15000)
{
    for (;;) {
        const std::string line = process.ReadLine(timeoutMs);
        if (line.empty())
            return false;
        if (line.rfind(prefix, 0) == 0)
            return true;
    }
}

std::string Role(const std::string& firstLine)
{
    return firstLine.substr(0, firstLine.find(' '));
}

std::string RoleOf(const TCommandResult& result)
{
    return Role(result.Out);
}

bool NamedObjectsExist(const TInstanceNames& names)
{
    return fs::exists("/dev/shm" + names.Mailbox) || fs::exists("/dev/shm/sem." + names.Semaphore.substr(1));
}

} // namespace

TEST(InstanceGuardNames, ComeFromTheFileNameAndTheUser)
{
    const TInstanceNames names = InstanceNamesFor("monitor.exe", 1000);
    EXPECT_EQ(names.Mailbox, "/monitor.exe.1000");
    EXPECT_EQ(names.Semaphore, "/MONITOR.EXESEM.1000");
}

TEST(InstanceGuardMailbox, ReadsNoMoreThanTheLayoutHoldsWhateverWasWritten)
{
    std::vector<unsigned char> block(TInstanceGuard::MailboxSize, 0);
    auto setCount = [&](std::int32_t n) { std::memcpy(block.data() + 4, &n, sizeof n); };
    auto slot = [&](int i) { return block.data() + 8 + 301 * i; };

    setCount(-1);
    EXPECT_TRUE(MailboxParams(block.data()).empty());
    setCount(1000);
    EXPECT_EQ(MailboxParams(block.data()).size(), 10u);

    // Slots full to their last byte, no zero anywhere: 300 characters each.
    std::fill(block.begin() + 8, block.end(), static_cast<unsigned char>('q'));
    setCount(10);
    const auto params = MailboxParams(block.data());
    ASSERT_EQ(params.size(), 10u);
    for (const auto& p : params)
        EXPECT_EQ(p, std::string(300, 'q'));

    std::memcpy(slot(2), "ab\0cd", 6);
    setCount(3);
    EXPECT_EQ(MailboxParams(block.data())[2], "ab");
}

TEST(InstanceGuard, CopiesStartedTogetherWithNoneRunningAgreeOnOne)
{
    TProbeCopy probe;
    constexpr int Copies = 4;
    std::vector<std::unique_ptr<TChildProcess>> copies(Copies);
    std::vector<std::thread> starts;
    for (int i = 0; i < Copies; ++i)
        starts.emplace_back([&, i] {
            copies[static_cast<std::size_t>(i)] =
                std::make_unique<TChildProcess>(probe.Argv({}, {"copy" + std::to_string(i)}), 30000);
        });
    for (auto& t : starts)
        t.join();
    TChildProcess* running = nullptr;
    int runningIndex = -1;
    for (int i = 0; i < Copies; ++i) {
        const std::string role = Role(copies[static_cast<std::size_t>(i)]->FirstLine());
        if (role == "running") {
            EXPECT_EQ(running, nullptr) << "two running copies";
            running = copies[static_cast<std::size_t>(i)].get();
            runningIndex = i;
        } else {
            EXPECT_EQ(role, "new");
        }
    }
    ASSERT_NE(running, nullptr);
    std::vector<std::string> seen;
    for (int i = 0; i < Copies - 1; ++i) {
        const auto report = NextReport(*running);
        ASSERT_TRUE(report);
        ASSERT_EQ(report->Params.size(), 1u);
        seen.push_back(report->Params[0]);
    }
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> expected;
    for (int i = 0; i < Copies; ++i)
        if (i != runningIndex)
            expected.push_back("copy" + std::to_string(i));
    EXPECT_EQ(seen, expected);
}

TEST(InstanceGuard, CopyUnderAnotherFileNameRunsOnItsOwn)
{
    TProbeCopy first("alpha");
    TProbeCopy second("beta");
    TChildProcess a(first.Argv({}));
    TChildProcess b(second.Argv({}));
    EXPECT_EQ(Role(a.FirstLine()), "running");
    EXPECT_EQ(Role(b.FirstLine()), "running");
}

TEST(InstanceGuard, NextStartAfterTheRunningCopyEndsBecomesTheRunningCopy)
{
    TProbeCopy probe;
    {
        TChildProcess running(probe.Argv({}));
        ASSERT_EQ(Role(running.FirstLine()), "running");
        EXPECT_EQ(RoleOf(RunCommand(probe.Argv({}, {"--quit"}), 30000)), "new");
        ASSERT_TRUE(NextReport(running));
        // It ends by itself and takes its named objects with it.
        // Its output ends when the process does, after the guard is gone.
        EXPECT_EQ(running.ReadLine(15000), "");
        EXPECT_FALSE(NamedObjectsExist(probe.Names()));
    }
    TChildProcess next(probe.Argv({}));
    EXPECT_EQ(Role(next.FirstLine()), "running");
}

TEST(InstanceGuard, CopyWaitingOnAKilledRunningCopyTakesOver)
{
    TProbeCopy probe;
    TChildProcess running(probe.Argv({"--handle-delay-ms", "60000"}));
    ASSERT_EQ(Role(running.FirstLine()), "running");

    // The running copy is killed in the middle of a hand-over, holding the
    // mailbox. The copy that knocked must not end as if it had been served.
    std::thread killer([&] {
        if (AwaitLine(running, "handling"))
            kill(running.Pid(), SIGKILL);
    });
    const auto started = std::chrono::steady_clock::now();
    TChildProcess second(probe.Argv({}, {"mine"}), 30000);
    killer.join();
    EXPECT_EQ(Role(second.FirstLine()), "running");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));

    EXPECT_EQ(RoleOf(RunCommand(probe.Argv({}, {"third"}), 30000)), "new");
    const auto report = NextReport(second);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->Params, std::vector<std::string>{"third"});
}

TEST(InstanceGuard, BusyRunningCopyReadsLateKnocksAndKeepsTheMailboxGuarded)
{
    TProbeCopy probe;
    TChildProcess running(probe.Argv({"--stall-ms", "3000"}));
    ASSERT_EQ(Role(running.FirstLine()), "running");
    ASSERT_TRUE(AwaitLine(running, "stalled"));

    // Its second wait runs out: it ends, its arguments still in the mailbox.
    const auto late = RunCommand(probe.Argv({"--wait-ms", "400"}, {"late"}), 30000);
    EXPECT_EQ(RoleOf(late), "new");
    // The mailbox stays taken until the running copy has read it, so this
    // copy's first wait runs out and it does not overwrite "late".
    const auto lost = RunCommand(probe.Argv({"--wait-ms", "400"}, {"lost"}), 30000);
    EXPECT_EQ(RoleOf(lost), "new");

    const auto report = NextReport(running);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->Params, std::vector<std::string>{"late"});

    // Released once, not twice: later hand-overs still go one at a time.
    std::vector<TCommandResult> results(2);
    std::thread a([&] { results[0] = RunCommand(probe.Argv({}, {"one", std::string(299, '1')}), 30000); });
    std::thread b([&] { results[1] = RunCommand(probe.Argv({}, {"two", std::string(299, '2')}), 30000); });
    a.join();
    b.join();
    for (int i = 0; i < 2; ++i) {
        const auto r = NextReport(running);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->Params.size(), 2u);
        EXPECT_EQ(r->Params[1], std::string(299, r->Params[0] == "one" ? '1' : '2'));
    }
    int value = -1;
    sem_t* sem = sem_open(probe.Names().Semaphore.c_str(), 0);
    ASSERT_NE(sem, SEM_FAILED);
    sem_getvalue(sem, &value);
    sem_close(sem);
    EXPECT_EQ(value, 1);
}

TEST(InstanceGuard, HandsOverTheFirstTenArgumentsEachCutTo300)
{
    TProbeCopy probe;
    TChildProcess running(probe.Argv({}));
    ASSERT_EQ(Role(running.FirstLine()), "running");

    std::vector<std::string> params{"/start", std::string(400, 'v'), std::string(300, 'w'), ""};
    for (int i = 5; i <= 12; ++i)
        params.push_back("a" + std::to_string(i));
    EXPECT_EQ(RoleOf(RunCommand(probe.Argv({}, params), 30000)), "new");
    const auto report = NextReport(running);
    ASSERT_TRUE(report);
    std::vector<std::string> expected(params.begin(), params.begin() + 10);
    expected[1].resize(300);
    EXPECT_EQ(report->Params, expected);
}
