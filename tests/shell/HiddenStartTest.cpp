// The program as the log-on start runs it: "vendrel /start" stays hidden and
// delivers its first check ten seconds later, from the user's own files; any
// other first argument shows the window and checks all the same. The program
// runs under a file name of its own, so that its one-copy guard meets no
// other test's copy.

#include "engine/DataFolder.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "platform/InstanceGuard.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

class StartWithArgument : public ::testing::TestWithParam<const char*> {};

TEST_P(StartWithArgument, ChecksTenSecondsLaterAndDelivers)
{
    TTempDataFolder tmp;
    TLoopbackHttpServer http;
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/page/", "<html><body><p>start-up page</p></body></html>\r\n");

    TSettings s;
    s.ActiveNetConnection = false;
    s.DestEmail = "me@example.org";
    s.Server.Host = "127.0.0.1";
    s.Server.Port = mail.Port();
    s.OncePerDay = false;
    s.CheckFrequency = 1;
    TSiteList sites;
    sites.Add(MakeSiteEntry("Start page", http.Url("/page/"), -2), true);
    SaveSettingsTo(DefaultSettingsFiles(DataFolder()), s, sites);

    const std::string name = "vendrel-hidden-" + std::to_string(getpid());
    const std::string program = tmp.Root() + name;
    std::filesystem::copy_file(VENDREL_PROGRAM, program);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const char* argv[] = {program.c_str(), GetParam(), nullptr};
    pid_t pid = -1;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);

    std::string message;
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(30)) {
        if (!mail.Messages().empty()) {
            message = mail.Messages().front();
            break;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // A killed copy leaves its guard's named objects behind.
    const TInstanceNames names = InstanceNamesFor(name, static_cast<unsigned>(getuid()));
    shm_unlink(names.Mailbox.c_str());
    sem_unlink(names.Semaphore.c_str());
    ASSERT_FALSE(message.empty()) << "the program ended or sent nothing";
    EXPECT_NE(message.find("Subject: Vendrel Delivery: Start page\r\n"), std::string::npos);
    EXPECT_GE(waited, std::chrono::seconds(9)) << "the first check waits ten seconds";
    EXPECT_EQ(http.Requests(), 1);
}

INSTANTIATE_TEST_SUITE_P(HiddenStart, StartWithArgument, ::testing::Values("/start", "foo"),
                         [](const auto& info) { return info.index == 0 ? "LogOnStart" : "OtherArgument"; });

} // namespace
