// The icon in a real notification area: a virtual X display with trayer as
// the tray host. When the tray host goes away and comes back (a restarted
// panel), the icon must dock again.

#include "engine/SiteChecks.h"
#include "engine/SiteList.h"
#include "platform/Text.h"
#include "platform/InstanceGuard.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <semaphore.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        // The display's and the panel's chatter would only clutter the test log.
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void End(int& pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 15000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

bool Installed(const char* tool)
{
    return RunCommand({"sh", "-c", std::string("command -v ") + tool}, 10000).ExitStatus == 0;
}

class TrayHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "trayer", "xwininfo"})
            if (!Installed(tool))
                GTEST_SKIP() << tool << " is not installed";
        // The server picks a free display itself and says which: tests that
        // run side by side never meet on one display.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "640x400x24", "-nolisten", "tcp"});
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        display_ = ":" + number;
        // For xdotool, which the test runs itself.
        setenv("DISPLAY", display_.c_str(), 1);

        fileName_ = "vendrel-" + fs::path(home_.Root()).parent_path().filename().string().substr(13);
        program_ = home_.Root() + fileName_;
        fs::copy_file(VENDREL_PROGRAM, program_);
        fs::create_directories(home_.DataFolder());
        WriteFile(home_.DataFolder() + "Sites.dat", MakeSiteEntry("Quiet", "http://127.0.0.1:9/", -2) + "\r\n");
        WriteFile(home_.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\n[Settings]\r\nDestEmail=me@example.test\r\n"
                  "ActiveNetConnection=False\r\nTrayIcon=True\r\n");
    }
    void TearDown() override
    {
        End(program_pid_);
        End(trayer_);
        End(xvfb_);
        unsetenv("DISPLAY");
        const TInstanceNames names = InstanceNamesFor(fileName_, static_cast<unsigned>(getuid()));
        shm_unlink(names.Mailbox.c_str());
        sem_unlink(names.Semaphore.c_str());
    }

    void StartTrayer()
    {
        trayer_ = Spawn({"trayer", "--edge", "bottom", "--align", "left", "--widthtype", "pixel", "--width", "120",
                         "--heighttype", "pixel", "--height", "32"},
                        {"DISPLAY=" + display_});
    }
    void StartProgram()
    {
        program_pid_ = Spawn({program_, "/start"}, {"DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb",
                                                    "XDG_DATA_HOME=" + home_.Root() + "data",
                                                    "XDG_CONFIG_HOME=" + home_.Root() + "config"});
    }
    // The program's icon window (its class named after the program file)
    // sits somewhere below trayer's panel in the window tree.
    bool Docked() const
    {
        const auto tree = RunCommand({"xwininfo", "-display", display_, "-root", "-tree"}, 10000).Out;
        const auto panel = tree.find("(\"panel\" \"trayer\")");
        if (panel == std::string::npos)
            return false;
        const auto lineStart = tree.rfind('\n', panel) + 1;
        const auto indent = tree.find_first_not_of(' ', lineStart) - lineStart;
        // The panel's subtree ends at the next line indented no deeper than it.
        auto end = tree.find('\n', panel);
        while (end != std::string::npos && end + 1 < tree.size()) {
            const auto depth = tree.find_first_not_of(' ', end + 1) - (end + 1);
            if (depth <= indent && tree.compare(end + 1 + depth, 2, "0x") == 0)
                break;
            end = tree.find('\n', end + 1);
        }
        return tree.substr(panel, end == std::string::npos ? std::string::npos : end - panel)
                   .find("(\"" + fileName_ + "\"") != std::string::npos;
    }

    // Sizes of the program's windows now on screen (mapped), icon included.
    std::vector<std::pair<int, int>> VisibleWindowSizes() const
    {
        std::vector<std::pair<int, int>> sizes;
        const auto ids = RunCommand({"xdotool", "search", "--onlyvisible", "--classname", fileName_},
                                    10000).Out;
        std::size_t start = 0;
        while (start < ids.size()) {
            const auto nl = ids.find('\n', start);
            const std::string id = ids.substr(start, nl - start);
            start = nl == std::string::npos ? ids.size() : nl + 1;
            if (id.empty())
                continue;
            const auto geometry = RunCommand({"xwininfo", "-display", display_, "-id", id}, 10000).Out;
            const auto w = geometry.find("Width: ");
            const auto h = geometry.find("Height: ");
            if (w != std::string::npos && h != std::string::npos)
                sizes.emplace_back(std::stoi(geometry.substr(w + 7)), std::stoi(geometry.substr(h + 8)));
        }
        return sizes;
    }
    bool MenuOpen() const
    {
        for (auto [w, h] : VisibleWindowSizes())
            if (w > 100 && h > 60 && h < 300)
                return true;
        return false;
    }
    bool WindowShown() const
    {
        for (auto [w, h] : VisibleWindowSizes())
            if (h >= 300)
                return true;
        return false;
    }
    void Xdotool(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{"xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunCommand(argv, 10000);
    }

    TTempDataFolder home_;
    std::string display_;
    std::string fileName_;
    std::string program_;
    int xvfb_ = -1;
    int trayer_ = -1;
    int program_pid_ = -1;
};

} // namespace

TEST_F(TrayHostTest, IconDocksAndDocksAgainAfterTheTrayHostRestarts)
{
    StartTrayer();
    StartProgram();
    ASSERT_TRUE(WaitFor([&] { return Docked(); })) << "the icon never reached the tray\n"
                                                   << RunCommand({"xwininfo", "-display", display_, "-root", "-tree"}).Out;

    End(trayer_);
    ASSERT_TRUE(WaitFor([&] { return !Docked(); }));
    StartTrayer();
    EXPECT_TRUE(WaitFor([&] { return Docked(); })) << "the icon did not come back to the restarted tray";
    EXPECT_EQ(kill(program_pid_, 0), 0);
}

TEST_F(TrayHostTest, ProgramStartedBeforeTheTrayHostDocksWhenItAppears)
{
    StartProgram();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    StartTrayer();
    EXPECT_TRUE(WaitFor([&] { return Docked(); }));
}

TEST_F(TrayHostTest, ClicksOnTheDockedIconOpenTheMenuOrTheWindow)
{
    if (!Installed("xdotool"))
        GTEST_SKIP() << "xdotool is not installed";
    StartTrayer();
    StartProgram();
    ASSERT_TRUE(WaitFor([&] { return Docked(); }));
    // trayer sits at the bottom left: the icon is its first, at the left end.
    Xdotool({"mousemove", "8", "384"});

    Xdotool({"click", "1"});
    EXPECT_TRUE(WaitFor([&] { return MenuOpen(); }, 5000)) << "a left click opened no menu";
    Xdotool({"key", "Escape"});
    ASSERT_TRUE(WaitFor([&] { return !MenuOpen(); }, 5000));

    Xdotool({"click", "3"});
    EXPECT_TRUE(WaitFor([&] { return MenuOpen(); }, 5000)) << "a right click opened no menu";
    Xdotool({"key", "Escape"});
    ASSERT_TRUE(WaitFor([&] { return !MenuOpen(); }, 5000));

    EXPECT_FALSE(WindowShown());
    Xdotool({"click", "--repeat", "2", "--delay", "80", "1"});
    EXPECT_TRUE(WaitFor([&] { return WindowShown(); }, 5000)) << "a double-click did not show the window";
    // The second press was the double-click's, not the start of a menu.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_FALSE(MenuOpen());
}

TEST_F(TrayHostTest, ASiteFailingItsThirdCheckInARowIsToldFromTheIcon)
{
    for (const char* tool : {"xdotool", "xprop"})
        if (!Installed(tool))
            GTEST_SKIP() << tool << " is not installed";
    // Two failed checks are on record, so the check ten seconds after a
    // start by the system is the third. The notice mail finds no server.
    WriteFile(home_.DataFolder() + "HTML/Quiet.checks", "Failures=2\r\n");
    WriteFile(home_.DataFolder() + "Settings.dat",
              "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=9\r\n[Settings]\r\nDestEmail=me@example.test\r\n"
              "ActiveNetConnection=False\r\nTrayIcon=True\r\n");
    // The message is a balloon of the program's own, an X tooltip window.
    auto messageShown = [&] {
        const auto ids = RunCommand({"xdotool", "search", "--onlyvisible", "--classname", fileName_}, 10000).Out;
        for (const std::string& id : SplitLines(ids))
            if (!id.empty() && RunCommand({"xprop", "-display", display_, "-id", id, "_NET_WM_WINDOW_TYPE"}, 10000)
                                       .Out.find("_NET_WM_WINDOW_TYPE_TOOLTIP") != std::string::npos)
                return true;
        return false;
    };
    StartTrayer();
    StartProgram();
    ASSERT_TRUE(WaitFor([&] { return Docked(); }));
    EXPECT_FALSE(messageShown());
    EXPECT_TRUE(WaitFor(messageShown, 40000)) << "no message came from the icon";
    EXPECT_EQ(ReadSiteChecks(home_.DataFolder() + "HTML/Quiet.checks").Failures, 3);
}
