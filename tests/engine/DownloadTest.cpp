#include "engine/Download.h"
#include "engine/FetchCommon.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "platform/Text.h"
#include "platform/Utilities.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDataFolder.h"

namespace {

TEST(SplitUrl, CutsTheWayTheDownloadAlwaysDid)
{
    struct Case {
        const char* address;
        const char* host;
        const char* path;
    } cases[] = {
        {"http://www.example.com/news/index.html", "www.example.com", "/news/index.html"},
        {"http://www.example.com", "www.example.com", ""},
        {"http://www.example.com/", "www.example.com", "/"},
        {"HTTP://Example.com/A", "Example.com", "/A"},
        {"www.example.com/a/b", "www.example.com", "/a/b"},
        {"www.example.com:8080/x", "www.example.com:8080", "/x"},
        // "http://" found anywhere removes the first seven characters.
        {"https://host/path", "https:", "//host/path"},
        {"xhttp://host/path", "", "/host/path"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string host = "stale", path = "stale";
        SplitUrl(c.address, host, path);
        EXPECT_EQ(host, c.host) << c.address;
        EXPECT_EQ(path, c.path) << c.address;
    }
}

// One loopback HTTP server for all download tests of a suite.
class DownloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("NO_PROXY", "*", 1);
        setenv("no_proxy", "*", 1);
        root_ = std::filesystem::temp_directory_path() / ("vendrel-http-" + std::to_string(getpid()));
        std::filesystem::create_directories(root_ / "news");
        WriteFile((root_ / "news" / "index.html").string(), Page());
        server_ = std::make_unique<TChildProcess>(PythonFixture("http_server.py", {"--root", root_.string()}));
        base_ = "http://127.0.0.1:" + server_->FirstLine();
    }
    static void TearDownTestSuite()
    {
        server_.reset();
        std::filesystem::remove_all(root_);
    }
    static std::string Page()
    {
        static const char page[] = "<html><head><title>News</title></head>\r\n<body>\x01\xff binary-safe \0 body</body></html>\r\n";
        return std::string(page, sizeof page - 1);
    }

    TRecordingHost host;
    TEngineFlags flags;
    TPageDownload download{host, flags};

    static inline std::unique_ptr<TChildProcess> server_;
    static inline std::filesystem::path root_;
    static inline std::string base_;
};

TEST_F(DownloadTest, FetchesAPageAndReportsProgress)
{
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
    int ends = 0;
    download.ShowProgress = [&](std::int64_t soFar, std::int64_t expected) { progress.emplace_back(soFar, expected); };
    download.ProgressEnd = [&] {
        ++ends;
        EXPECT_TRUE(flags.DownloadBusy);
    };
    std::string text = "old";
    ASSERT_TRUE(download.DownloadUrl(base_ + "/news/index.html", text));
    EXPECT_EQ(text, Page());
    ASSERT_FALSE(progress.empty());
    const auto size = static_cast<std::int64_t>(Page().size());
    EXPECT_EQ(progress.back().first, size);
    EXPECT_EQ(progress.back().second, size);
    EXPECT_EQ(ends, 1);
    EXPECT_GT(host.EventRuns, 0);
    EXPECT_FALSE(flags.DownloadBusy);
    EXPECT_TRUE(host.Messages.empty());

    // A folder address without its last slash is answered by the server.
    std::string folder;
    download.DownloadPage(base_ + "/news/", folder);
    EXPECT_EQ(folder, Page());
}

TEST_F(DownloadTest, AsksAsHttp11UnderTheProgramsOwnNameWithoutAReferrer)
{
    auto requestLines = [&](const std::string& agent) {
        download.UserAgent = agent;
        std::string text;
        EXPECT_TRUE(download.DownloadUrl(base_ + "/headers", text));
        return SplitLines(text);
    };
    auto count = [](const TLines& lines, const std::string& prefix) {
        int n = 0;
        for (const auto& l : lines)
            n += StartsText(prefix, l) ? 1 : 0;
        return n;
    };
    auto has = [](const TLines& lines, const std::string& line) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return SameText(l, line); }) !=
               lines.end();
    };
    const auto lines = requestLines("");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "GET /headers HTTP/1.1");
    EXPECT_TRUE(has(lines, "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Vendrel/" + GetProductVersion()));
    EXPECT_EQ(count(lines, "Referer:"), 0) << "a request that comes from no page names none";
    EXPECT_TRUE(has(lines, "Accept: */*"));
    EXPECT_TRUE(has(lines, "Pragma: no-cache"));
    EXPECT_TRUE(has(lines, "Cache-Control: no-cache"));
    EXPECT_EQ(count(lines, "Accept:"), 1);
    EXPECT_EQ(count(lines, "User-Agent:"), 1);

    // The setting replaces the name; blanks alone, or control characters
    // that would end the header line, do not make a name.
    EXPECT_TRUE(has(requestLines("Mozilla/5.0 (compatible; MyWatcher/2.1)"),
                    "User-Agent: Mozilla/5.0 (compatible; MyWatcher/2.1)"));
    EXPECT_TRUE(has(requestLines("   "), "User-Agent: " + DefaultUserAgent()));
    const auto injected = requestLines("Agent/1\r\nX-Injected: yes");
    EXPECT_TRUE(has(injected, "User-Agent: Agent/1X-Injected: yes"));
    EXPECT_EQ(count(injected, "X-Injected:"), 0);
}

TEST_F(DownloadTest, LengthlessBodiesAndRedirectsArePages)
{
    std::string text;
    bool progressed = false;
    download.ShowProgress = [&](std::int64_t, std::int64_t) { progressed = true; };
    ASSERT_TRUE(download.DownloadUrl(base_ + "/nolength?bytes=300000", text));
    EXPECT_EQ(text.size(), 300000u);
    EXPECT_FALSE(progressed) << "no expected length, no progress";

    ASSERT_TRUE(download.DownloadUrl(base_ + "/redirect?to=/news/index.html", text));
    EXPECT_EQ(text, Page());
    ASSERT_TRUE(download.DownloadUrl(base_ + "/redirect?status=301&to=" + base_ + "/status/200?body=moved", text));
    EXPECT_EQ(text, "moved");
    // Any 2xx is a page, as it always was.
    ASSERT_TRUE(download.DownloadUrl(base_ + "/status/203?body=partial", text));
    EXPECT_EQ(text, "partial");
    EXPECT_TRUE(host.Messages.empty());
    EXPECT_TRUE(download.FailureReason.empty());
}

TEST_F(DownloadTest, ErrorAnswersFailWithTheServersWordsAndRefusalsAreNamed)
{
    struct Case {
        std::string path;
        std::string logged;  // after "HTML download error: "
        std::string reason;  // FailureReason
    } cases[] = {
        {"/status/503?body=Down%20for%20maintenance", "the server answered 503 Service Unavailable",
         "the server answered 503 Service Unavailable"},
        {"/status/404?body=Gone%20away", "the server answered 404 Not Found", "the server answered 404 Not Found"},
        // The final answer counts, after redirects.
        {"/redirect?to=/status/410%3Fbody%3Dgone", "the server answered 410 Gone", "the server answered 410 Gone"},
        {"/status/500?reason=", "the server answered 500", "the server answered 500"},
        {"/status/599?reason=Odd%20Phrase&body=x", "the server answered 599 Odd Phrase",
         "the server answered 599 Odd Phrase"},
        {"/status/400", "the server answered 400 Bad Request", "the server answered 400 Bad Request"},
        {"/status/403?body=no%20bots", "the server answered 403 Forbidden",
         "the site refused automated access (403)"},
        {"/status/429", "the server answered 429 Too Many Requests", "the site refused automated access (429)"},
        {"/status/503?header=cf-mitigated:challenge&body=checking", "the server answered 503 Service Unavailable",
         "the site refused automated access (503)"},
        // A bot challenge is no page even when it claims success.
        {"/status/200?header=CF-Mitigated:%20challenge&body=checking", "the site refused automated access (200)",
         "the site refused automated access (200)"},
    };
    for (const auto& c : cases) {
        host.Messages.clear();
        std::string text = "old";
        download.DownloadPage(base_ + c.path, text);
        EXPECT_EQ(text, "") << c.path;
        ASSERT_EQ(host.Messages.size(), 1u) << c.path;
        EXPECT_EQ(host.Messages[0], "HTML download error: " + c.logged) << c.path;
        EXPECT_EQ(download.FailureReason, c.reason) << c.path;
        EXPECT_FALSE(flags.DownloadBusy);
    }
    // The reason is kept only until the next page.
    std::string text;
    ASSERT_TRUE(download.DownloadUrl(base_ + "/news/index.html", text));
    EXPECT_TRUE(download.FailureReason.empty());
}

TEST_F(DownloadTest, NothingReadIsAQuietFailure)
{
    std::string text = "old";
    EXPECT_FALSE(download.DownloadUrl(base_ + "/empty", text));
    download.DownloadPage(base_ + "/empty", text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(download.FailureReason, "the server sent an empty page");

    // A port nobody listens on.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    text = "old";
    download.DownloadPage("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/", text);
    EXPECT_EQ(text, "");
    // Not logged, but the user is told why when the site keeps failing.
    EXPECT_NE(download.FailureReason.find("connect"), std::string::npos) << download.FailureReason;

    EXPECT_TRUE(host.Messages.empty());
    EXPECT_FALSE(flags.DownloadBusy);
}

TEST_F(DownloadTest, AnAddressTheClientCannotUseLogsItsReason)
{
    std::string text = "old";
    // A literal blank: the user has to mend the address, so they must see why.
    EXPECT_FALSE(download.DownloadUrl(base_ + "/news/some page.html", text));
    ASSERT_EQ(host.Messages.size(), 1u);
    EXPECT_TRUE(StartsText("HTML download error: ", host.Messages[0])) << host.Messages[0];
    EXPECT_NE(FindText(host.Messages[0], "URL"), std::string::npos) << host.Messages[0];

    // Nothing but web addresses is fetched, whatever the site list holds.
    WriteFile((root_ / "secret.txt").string(), "secret");
    EXPECT_FALSE(download.DownloadUrl("file://" + (root_ / "secret.txt").string(), text));
    ASSERT_EQ(host.Messages.size(), 2u);
    EXPECT_NE(FindText(host.Messages[1], "file"), std::string::npos) << host.Messages[1];
    EXPECT_FALSE(flags.DownloadBusy);
}

TEST_F(DownloadTest, AWholeFetchEndsAtItsTimeLimitHoweverSteadyTheTrickle)
{
    EXPECT_EQ(download.WholeFetchSeconds, 600) << "ten minutes for one page";
    // A byte every quarter second never trips the silence limit.
    download.WholeFetchSeconds = 2;
    std::string text;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(download.DownloadUrl(base_ + "/slow?bytes=40&chunk=1&delay=0.25", text));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::seconds(6));
    EXPECT_EQ(host.Messages, std::vector<std::string>{"HTML download error: the page took longer than 2 seconds to download"});
    EXPECT_FALSE(flags.DownloadBusy);
}

TEST_F(DownloadTest, ASecondFetchCancelsTheRunningOneAndFailsItself)
{
    int nested = 0;
    bool nestedResult = true;
    host.OnProcessMessages = [&] {
        if (nested++ == 0) {
            std::string other;
            nestedResult = download.DownloadUrl(base_ + "/news/index.html", other);
            EXPECT_TRUE(flags.DownloadBusy) << "the second request must not end the first one's busy state";
        }
    };
    std::string text;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(download.DownloadUrl(base_ + "/slow?bytes=100000&chunk=1000&delay=0.2", text));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(nestedResult);
    EXPECT_TRUE(flags.AbortRequested);
    EXPECT_FALSE(flags.DownloadBusy);
    EXPECT_TRUE(host.Messages.empty());

    // The next fetch starts afresh.
    host.OnProcessMessages = nullptr;
    EXPECT_TRUE(download.DownloadUrl(base_ + "/news/index.html", text));
    EXPECT_FALSE(flags.AbortRequested);
}

TEST_F(DownloadTest, AbortStopsBetweenBlocksAndWhileTheServerIsSilent)
{
    std::int64_t received = 0;
    download.ShowProgress = [&](std::int64_t soFar, std::int64_t) {
        received = soFar;
        if (soFar >= 3000)
            flags.AbortRequested = true;
    };
    std::string text;
    EXPECT_FALSE(download.DownloadUrl(base_ + "/slow?bytes=20000&chunk=1000&delay=0.05", text));
    EXPECT_LT(received, 20000);

    // No data at all for thirty seconds: the wait still lets events run.
    download.ShowProgress = nullptr;
    host.EventRuns = 0;
    host.OnProcessMessages = [&] {
        if (host.EventRuns == 10)
            flags.AbortRequested = true;
    };
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(download.DownloadUrl(base_ + "/stall?bytes=10&seconds=30", text));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(host.Messages.empty());
    EXPECT_FALSE(flags.DownloadBusy);
}

TEST_F(DownloadTest, ABodyBeyondTheLimitFailsWithItsReason)
{
    std::string text;
    const std::int64_t limit = download.MaxBodyBytes;
    EXPECT_EQ(limit, 64 << 20);
    EXPECT_FALSE(download.DownloadUrl(base_ + "/bytes?n=" + std::to_string(limit + 1), text));
    ASSERT_EQ(host.Messages.size(), 1u);
    EXPECT_EQ(host.Messages[0], "HTML download error: the page is larger than 64 MiB");
    EXPECT_FALSE(flags.DownloadBusy);

    download.MaxBodyBytes = 100000;
    EXPECT_TRUE(download.DownloadUrl(base_ + "/bytes?n=100000", text));
    EXPECT_EQ(text.size(), 100000u);
    EXPECT_EQ(host.Messages.size(), 1u);
}

TEST_F(DownloadTest, ABodyCutShortIsAnErrorWithItsReason)
{
    std::string text;
    EXPECT_FALSE(download.DownloadUrl(base_ + "/truncated?bytes=5000&send=1000", text));
    ASSERT_EQ(host.Messages.size(), 1u);
    EXPECT_TRUE(StartsText("HTML download error: ", host.Messages[0])) << host.Messages[0];
}

TEST(DownloadTls, AnUntrustedCertificateIsRefusedWithTheReason)
{
    setenv("NO_PROXY", "*", 1);
    TChildProcess server(PythonFixture("http_server.py", {"--self-signed"}));
    TRecordingHost host;
    TEngineFlags flags;
    TPageDownload download(host, flags);
    std::string text;
    EXPECT_FALSE(download.DownloadUrl("https://127.0.0.1:" + server.FirstLine() + "/empty", text));
    ASSERT_EQ(host.Messages.size(), 1u);
    EXPECT_TRUE(StartsText("HTML download error: ", host.Messages[0])) << host.Messages[0];
    EXPECT_NE(FindText(host.Messages[0], "certificate"), std::string::npos) << host.Messages[0];
    EXPECT_FALSE(flags.DownloadBusy);
}

} // namespace

// Status lines and headers as a hostile or broken server may send them:
// codes of any size, reason phrases of any bytes and length, lines that are
// no status line at all. Whatever comes, the fetch ends, an error answer is
// never a page, and what reaches the log is one short line of printable text.
TEST_F(DownloadTest, AnyStatusLineEndsTheFetchWithPrintableWords)
{
    std::mt19937 random(20261209);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    struct Answer {
        std::string statusLine;
        int code = 0; // 0: no well-formed status line
        bool challenged = false;
    };
    std::vector<Answer> answers;
    for (int i = 0; i < 200; ++i) {
        Answer a;
        std::string reason;
        for (int n = pick(0, 3) == 0 ? pick(0, 400) : pick(0, 30); n > 0; --n) {
            char c = static_cast<char>(pick(0, 255));
            // The client itself refuses a NUL in a header line.
            if (c != '\r' && c != '\n' && c != '\0')
                reason += c;
        }
        switch (pick(0, 3)) {
        case 0: // garbage
            a.statusLine = reason.empty() ? "x" : reason;
            break;
        case 1: // a code out of the usual range or not three digits
            a.statusLine = "HTTP/1.1 " + std::to_string(pick(0, 100000)) + " " + reason;
            break;
        default:
            a.code = pick(0, 2) == 0 ? 200 : pick(400, 599);
            a.statusLine = "HTTP/1.1 " + std::to_string(a.code) + " " + reason;
            a.challenged = pick(0, 5) == 0;
        }
        answers.push_back(a);
    }
    std::atomic<std::size_t> served{0};
    TScriptedServer server(
        [&](TScriptedPeer& peer) {
            while (!peer.ReadLine().empty() && !peer.Closed()) {
            }
            const Answer& a = answers[served++];
            peer.Send(a.statusLine + "\r\nContent-Type: text/html\r\n" +
                      (a.challenged ? "cf-mitigated: challenge\r\n" : "") +
                      "Content-Length: 12\r\nConnection: close\r\n\r\n<p>body</p>\n");
            peer.Close();
        },
        static_cast<int>(answers.size()));
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    for (const Answer& a : answers) {
        host.Messages.clear();
        std::string text = "old";
        download.DownloadPage(url, text);
        const std::string shown = ::testing::PrintToString(a.statusLine);
        ASSERT_LE(host.Messages.size(), 1u) << shown;
        for (const std::string& line : host.Messages) {
            EXPECT_LE(line.size(), 300u) << shown;
            for (const unsigned char c : line)
                ASSERT_TRUE(c >= 0x20 && c < 0x7f) << shown << " logged " << ::testing::PrintToString(line);
        }
        if (a.code >= 400 || (a.code == 200 && a.challenged)) {
            EXPECT_EQ(text, "") << shown;
            ASSERT_EQ(host.Messages.size(), 1u) << shown;
            const std::string said = a.code >= 400 ? "HTML download error: the server answered " + std::to_string(a.code)
                                                   : "HTML download error: the site refused automated access (200)";
            EXPECT_EQ(host.Messages[0].rfind(said, 0), 0u) << shown << " logged " << host.Messages[0];
            EXPECT_FALSE(download.FailureReason.empty());
        } else if (a.code == 200) {
            EXPECT_EQ(text, "<p>body</p>\n") << shown;
            EXPECT_TRUE(host.Messages.empty()) << shown;
        }
        EXPECT_FALSE(flags.DownloadBusy);
    }
    EXPECT_EQ(served, answers.size());
}
