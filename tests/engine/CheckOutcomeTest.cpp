// What one check tells the servers and the user, end to end: vendrel-check
// runs against the fixture HTTP server (tests/fixtures/http_server.py) and a
// real SMTP server, and Python's email package reads what arrived.

#include "engine/SiteChecks.h"
#include "engine/SiteList.h"
#include "platform/Text.h"
#include "platform/Utilities.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

struct CheckOutcome : ::testing::Test {
    TTempDataFolder tmp;
    std::string www = tmp.Root() + "www/";
    std::unique_ptr<TChildProcess> http;
    std::string base;
    TMailServer mail{tmp.Root() + "mail", {"--no-auth"}};

    CheckOutcome()
    {
        std::filesystem::create_directories(www);
        http = std::make_unique<TChildProcess>(PythonFixture("http_server.py", {"--root", www}));
        base = "http://127.0.0.1:" + http->FirstLine();
        Settings("");
    }
    void Settings(const std::string& extra)
    {
        WriteFile(tmp.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(mail.Port()) +
                      "\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\n" + extra);
    }
    void Sites(const std::vector<std::pair<std::string, std::string>>& sites)
    {
        std::string text;
        for (const auto& [name, path] : sites)
            text += MakeSiteEntry(name, base + path, -1) + "\r\n";
        WriteFile(tmp.DataFolder() + "Sites.dat", text);
    }
    TCommandResult Run() const { return RunCommand({VENDREL_CHECK}); }
    std::string Stored(const std::string& name) const { return tmp.DataFolder() + "HTML/" + name + ".html"; }

    // Message n (from 1) as Python's email package reads it; the folder of
    // the files mail_parts.py wrote.
    std::string Parts(int n) const
    {
        const std::string folder = tmp.Root() + "parts" + std::to_string(n) + "/";
        const std::string command = std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py " +
                                    mail.WaitForMessage(n) + " " + folder;
        EXPECT_EQ(std::system(command.c_str()), 0);
        return folder;
    }
};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(CheckOutcome, PagesAreAskedForAndMailedUnderTheProgramsOwnName)
{
    const std::string version = GetProductVersion();
    Sites({{"Echo", "/headers"}});
    auto r = Run();
    ASSERT_EQ(r.ExitStatus, 0) << r.Out << r.Err;
    std::string parts = Parts(1);
    // The request as the server read it is the page that was mailed.
    std::string request = ReadFile(parts + "2.text_html");
    EXPECT_TRUE(Has(request, "GET /headers HTTP/1.1\r\n")) << request;
    EXPECT_TRUE(Has(request, "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Vendrel/" + version + "\r\n")) << request;
    EXPECT_FALSE(Has(request, "Referer")) << request;
    // The mail names its program where it always did: last, after the date.
    const TLines headers = SplitLines(ReadFile(parts + "all_headers.txt"));
    ASSERT_GE(headers.size(), 2u);
    EXPECT_EQ(headers.back(), "X-Mailer: Vendrel " + version);
    EXPECT_TRUE(StartsText("Date: ", headers[headers.size() - 2])) << headers[headers.size() - 2];

    // The "UserAgent" setting replaces the name; left empty, the default holds.
    Settings("UserAgent=Mozilla/5.0 (compatible; PageWatch/3.0)\r\n");
    r = Run();
    ASSERT_EQ(r.ExitStatus, 0) << r.Out << r.Err;
    request = ReadFile(Parts(2) + "2.text_html");
    EXPECT_TRUE(Has(request, "User-Agent: Mozilla/5.0 (compatible; PageWatch/3.0)\r\n")) << request;
    Settings("UserAgent=\r\n");
    r = Run();
    ASSERT_EQ(r.ExitStatus, 0) << r.Out << r.Err;
    request = ReadFile(Parts(3) + "2.text_html");
    EXPECT_TRUE(Has(request, "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Vendrel/" + version + "\r\n")) << request;
}

TEST_F(CheckOutcome, AnErrorAnswerFailsTheCheckAndKeepsTheStoredCopy)
{
    WriteFile(www + "fine.html", "<html><body><p>fine</p></body></html>\r\n");
    Sites({{"Down", "/status/503?body=%3Chtml%3EDown%20for%20maintenance%3C/html%3E"},
           {"Moved", "/redirect?to=/missing.html"},
           {"Fine", "/fine.html"}});
    WriteFile(Stored("Down"), "old down\r\n");
    WriteFile(Stored("Moved"), "old moved\r\n");
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 1) << r.Out << r.Err;
    EXPECT_TRUE(Has(r.Out, " HTML download error: the server answered 503 Service Unavailable\n")) << r.Out;
    EXPECT_TRUE(Has(r.Out, " Error processing Down: Site Download Error\n")) << r.Out;
    // The answer after the redirect is the one that counts.
    EXPECT_TRUE(Has(r.Out, " HTML download error: the server answered 404 Not Found\n")) << r.Out;
    EXPECT_TRUE(Has(r.Out, " Error processing Moved: Site Download Error\n")) << r.Out;
    EXPECT_TRUE(Has(r.Out, " Fine processed, Delivering\n")) << r.Out;
    EXPECT_EQ(ReadFile(Stored("Down")), "old down\r\n");
    EXPECT_EQ(ReadFile(Stored("Moved")), "old moved\r\n");
    const auto messages = mail.Messages();
    ASSERT_EQ(messages.size(), 1u) << "only the good page is mailed";
    EXPECT_TRUE(Has(messages[0], "Subject: Vendrel Delivery: Fine\r\n"));
}

TEST_F(CheckOutcome, ASiteFailingThreeChecksInARowIsReportedOnceAndAgainAfterItRecovers)
{
    Sites({{"Gone", "/gone.html"},
           {"Bots", "/status/403?body=no%20robots"},
           {"Challenge", "/status/200?header=cf-mitigated:challenge&body=just%20a%20moment"}});
    auto run = [&](int expectedStatus) {
        const auto r = Run();
        EXPECT_EQ(r.ExitStatus, expectedStatus) << r.Out << r.Err;
        return r.Out;
    };
    auto reported = [](const std::string& out, const std::string& name) {
        return Has(out, " " + name + " has failed 3 checks in a row: ");
    };

    // The count lives in the data folder: every run is a fresh process.
    for (int i = 0; i < 2; ++i) {
        const std::string out = run(1);
        EXPECT_FALSE(Has(out, "in a row")) << out;
    }
    EXPECT_TRUE(mail.Messages().empty());
    std::string out = run(1);
    EXPECT_TRUE(Has(out, " Gone has failed 3 checks in a row: the server answered 404 Not Found\n")) << out;
    EXPECT_TRUE(Has(out, " Bots has failed 3 checks in a row: the site refused automated access (403)\n")) << out;
    EXPECT_TRUE(Has(out, " Challenge has failed 3 checks in a row: the site refused automated access (200)\n"))
        << out;
    ASSERT_EQ(mail.Messages().size(), 3u);

    struct Notice {
        std::string name, path, reason;
    } notices[] = {{"Bots", "/status/403?body=no%20robots", "the site refused automated access (403)"},
                   {"Challenge", "/status/200?header=cf-mitigated:challenge&body=just%20a%20moment",
                    "the site refused automated access (200)"},
                   {"Gone", "/gone.html", "the server answered 404 Not Found"}};
    // The pass's sessions may hand the notices over in any order.
    std::vector<std::string> partsOf(3);
    for (int n = 1; n <= 3; ++n) {
        const std::string parts = Parts(n);
        const std::string headers = ReadFile(parts + "headers.txt");
        for (int i = 0; i < 3; ++i)
            if (Has(headers, "Subject: Vendrel could not check " + notices[i].name + "\n"))
                partsOf[static_cast<std::size_t>(i)] = parts;
    }
    for (int i = 0; i < 3; ++i) {
        const std::string& parts = partsOf[static_cast<std::size_t>(i)];
        ASSERT_FALSE(parts.empty()) << "no notice for " << notices[i].name;
        const std::string headers = ReadFile(parts + "headers.txt");
        EXPECT_TRUE(Has(headers, "To: me@example.org\n")) << headers;
        ASSERT_TRUE(FileExists(parts + "1.text_plain")) << "a short plain-text notice";
        EXPECT_FALSE(FileExists(parts + "2.text_html"));
        const std::string text = ReadFile(parts + "1.text_plain");
        EXPECT_TRUE(Has(text, "Vendrel could not check " + notices[i].name + ".")) << text;
        EXPECT_TRUE(Has(text, "Address: " + base + notices[i].path + "\r\n")) << text;
        EXPECT_TRUE(Has(text, "Reason: " + notices[i].reason + "\r\n")) << text;
        EXPECT_TRUE(Has(text, "Last good check: none recorded\r\n")) << text;
    }

    // Once: a fourth failure says nothing more.
    out = run(1);
    EXPECT_FALSE(Has(out, "in a row")) << out;
    EXPECT_EQ(mail.Messages().size(), 3u);

    // A good check resets the count; failing again is reported again at the
    // third failure, with the time of that good check.
    WriteFile(www + "gone.html", "<html><body><p>back</p></body></html>\r\n");
    out = run(1);
    EXPECT_TRUE(Has(out, " Gone processed, Delivering\n")) << out;
    ASSERT_EQ(mail.Messages().size(), 4u);
    const TSiteChecks good = ReadSiteChecks(tmp.DataFolder() + "HTML/Gone.checks");
    EXPECT_EQ(good.Failures, 0);
    ASSERT_TRUE(good.LastGood.has_value());
    std::filesystem::remove(www + "gone.html");
    for (int i = 0; i < 2; ++i) {
        out = run(1);
        EXPECT_FALSE(reported(out, "Gone")) << out;
    }
    out = run(1);
    EXPECT_TRUE(reported(out, "Gone")) << out;
    EXPECT_FALSE(reported(out, "Bots")) << out;
    ASSERT_EQ(mail.Messages().size(), 5u);
    const std::string text = ReadFile(Parts(5) + "1.text_plain");
    EXPECT_TRUE(Has(text, "Last good check: " + DateTimeText(*good.LastGood) + "\r\n")) << text;
    EXPECT_EQ(ReadSiteChecks(tmp.DataFolder() + "HTML/Gone.checks").Failures, 3);
    EXPECT_EQ(ReadSiteChecks(tmp.DataFolder() + "HTML/Bots.checks").Failures, 8);
}

TEST_F(CheckOutcome, ANoticeAboutASiteNamedBeyondAsciiReadsAsWrittenAndTravelsIn7Bit)
{
    const std::string name = "Café ☕ Nachrichten";
    const std::string path = "/status/404?reason=Nicht%20gefunden%C3%A9&body=" + std::string(90, 'x');
    Sites({{name, path}});
    // Two failures on record: this check is the third.
    WriteFile(tmp.DataFolder() + "HTML/" + name + ".checks", "Failures=2\r\nLastGood=1765298400\r\n");
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 1) << r.Out << r.Err;
    // The phrase's bytes beyond ASCII are not passed on.
    const std::string reason = "the server answered 404 Nicht gefunden?";
    EXPECT_TRUE(Has(r.Out, " " + name + " has failed 3 checks in a row: " + reason + "\n")) << r.Out;
    const auto messages = mail.Messages();
    ASSERT_EQ(messages.size(), 1u);
    for (const unsigned char c : messages[0])
        ASSERT_LT(c, 0x80) << "the notice is sent as 7-bit text";

    const std::string parts = Parts(1);
    EXPECT_TRUE(Has(ReadFile(parts + "headers.txt"), "Subject: Vendrel could not check " + name + "\n"));
    ASSERT_TRUE(FileExists(parts + "1.text_plain.txt")) << "the notice names its charset";
    const std::string text = ReadFile(parts + "1.text_plain.txt");
    EXPECT_TRUE(Has(text, "Vendrel could not check " + name + ".\r\n")) << text;
    // A line longer than quoted-printable's 76 characters comes back whole.
    EXPECT_TRUE(Has(text, "Address: " + base + path + "\r\n")) << text;
    EXPECT_TRUE(Has(text, "Reason: " + reason + "\r\n")) << text;
    EXPECT_TRUE(Has(text, "Last good check: " + DateTimeText(TDateTime{} + std::chrono::seconds(1765298400)) + "\r\n"))
        << text;
}
