// The program as the log-on start runs it: "vendrel /start" stays hidden and
// delivers its first check ten seconds later, from the user's own files.

#include "engine/DataFolder.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"

#include <chrono>
#include <filesystem>
#include <csignal>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

TEST(ProgramStart, HiddenStartChecksTenSecondsLaterAndDelivers)
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

    // One copy runs per user and program name: a copy of its own keeps this
    // start from handing over to another test's program.
    const std::string program = tmp.Root() + "vendrel-hidden-start";
    std::filesystem::copy_file(VENDREL_PROGRAM, program);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const char* argv[] = {program.c_str(), "/start", nullptr};
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
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_FALSE(message.empty()) << "the program ended or sent nothing";
    EXPECT_NE(message.find("Subject: Vendrel Delivery: Start page\r\n"), std::string::npos);
    EXPECT_GE(waited, std::chrono::seconds(9)) << "the first check waits ten seconds";
    EXPECT_EQ(http.Requests(), 1);
}

} // namespace
