// Watching part of a page and ignoring text, end to end: real HTTP pages that
// change between passes, the real SMTP server, the one-pass command, and the
// failures a site's options can cause.

#include "engine/ChangeMeasure.h"
#include "engine/HeadlessHost.h"
#include "engine/PageWatch.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/MailServer.h"
#include "platform/Text.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

namespace {

struct PageWatch : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TLoopbackHttpServer http;
    std::unique_ptr<TMailServer> mail;
    TSystemClock clock;
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};

    PageWatch()
    {
        host.Log.StampText = [](TDateTime) { return std::string("t"); };
        host.Settings.DestEmail = "me@example.org";
        host.Settings.ActiveNetConnection = false;
        host.Settings.Server.Host = "127.0.0.1";
        host.Settings.Server.TimeOutSeconds = 20;
        mail = std::make_unique<TMailServer>(tmp.Root() + "mail", std::vector<std::string>{"--no-auth"});
        host.Settings.Server.Port = mail->Port();
    }
    void AddSite(const std::string& name, const std::string& path, int threshold, const TSiteOptions& options)
    {
        host.SiteList.Add(MakeSiteEntry(name, http.Url(path), threshold), true);
        host.SiteList.SetOptions(name, options);
    }
    std::vector<std::string> Log() const { return {host.Log.Lines().begin(), host.Log.Lines().end()}; }
};

std::string Shop(const std::string& price, const std::string& clock, int visitors)
{
    return "<!DOCTYPE html>\n<html><head><title>Kettle</title></head><body>\n"
           "<div id=banner><img src=\"ad" + std::to_string(visitors % 7) + ".png\"> Offer of the hour!</div>\n"
           "<p>Served at " + clock + " to visitor " + std::to_string(visitors) + "</p>\n"
           "<div class=\"product\"><h1>Kettle</h1><span class=\"price\">" + price + "</span></div>\n"
           "</body></html>\n";
}

} // namespace

TEST_F(PageWatch, AWatchedPartIgnoresNoiseElsewhereAndTheMailCarriesTheWholePage)
{
    http.SetPage("/kettle", Shop("£24.99", "10:02", 1));
    // Even the most sensitive level: only the price may count.
    AddSite("Kettle", "/kettle", 0, {".product .price", ""});
    monitor.CheckForSites();
    http.SetPage("/kettle", Shop("£24.99", "10:17", 88));
    monitor.CheckForSites();
    http.SetPage("/kettle", Shop("£19.99", "10:32", 161));
    monitor.CheckForSites();

    EXPECT_EQ(Log(), (std::vector<std::string>{"t Kettle processed, Delivering", "",
                                               "t Kettle unchanged (0), Skipping", "",
                                               "t Kettle has changed (>0), Delivering", ""}));
    const auto messages = mail->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[1].find("visitor 161"), std::string::npos) << "the mail carries the whole page";
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("Kettle")), CrLfLines(Shop("£19.99", "10:32", 161)))
        << "the stored copy is the whole page";
}

TEST_F(PageWatch, IgnoredTextIsTakenOutOfBothSidesBeforeMeasuring)
{
    http.SetPage("/a", Shop("£5", "10:02", 1));
    AddSite("Counter", "/a", 0, {"", R"(Served at \d\d:\d\d to visitor \d+|ad\d\.png)"});
    monitor.CheckForSites();
    http.SetPage("/a", Shop("£5", "23:59", 12345));
    monitor.CheckForSites();
    http.SetPage("/a", Shop("£6", "00:00", 12346));
    monitor.CheckForSites();
    EXPECT_EQ(Log(), (std::vector<std::string>{"t Counter processed, Delivering", "",
                                               "t Counter unchanged (0), Skipping", "",
                                               "t Counter has changed (>0), Delivering", ""}));

    // Both together, measured: the watched part first, then what is ignored in it.
    http.SetPage("/b", "<ul id=news><li>Rain (updated 10:02)<li>Sun</ul><p>other</p>");
    AddSite("Both", "/b", 1, {"#news li", R"(\(updated [0-9:]+\))"});
    for (int i = 0; i < host.SiteList.Count(); ++i)
        host.SiteList.SetChecked(i, SiteNameOf(host.SiteList, i) == "Both");
    monitor.CheckForSites();
    http.SetPage("/b", "<ul id=news><li>Rain (updated 11:45)<li>Sun</ul><p>different other</p>");
    monitor.CheckForSites();
    EXPECT_EQ(Log().back(), "");
    EXPECT_EQ(Log()[Log().size() - 2], "t Both unchanged (0), Skipping");
}

TEST_F(PageWatch, AWatchedPartMissingFromThePageFailsTheSiteAndKeepsTheStoredCopy)
{
    http.SetPage("/a", Shop("£5", "10:02", 1));
    AddSite("Shop", "/a", 30, {"#basket, .gone", ""});
    WriteFile(monitor.StoredPagePath("Shop"), "<div id=basket>old</div>\r\n");
    monitor.CheckForSites();

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "t Shop: nothing on the page matches the watched part \"#basket, .gone\"",
                         "t Error processing Shop: The watched part of the page was not found", ""}));
    EXPECT_TRUE(mail->Messages().empty());
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("Shop")), "<div id=basket>old</div>\r\n");
    EXPECT_EQ(monitor.LastPass().Failed, 1);
    EXPECT_EQ(http.Requests(), 1);
}

TEST_F(PageWatch, OptionsThatCannotBeUsedFailTheSiteWithTheReason)
{
    http.SetPage("/a", "<p>" + std::string(40, 'a') + "</p>");
    for (const char* name : {"BadPattern", "BadSelector", "Backtracks"})
        WriteFile(monitor.StoredPagePath(name), "<p>old</p>\r\n");
    AddSite("BadPattern", "/a", 30, {"", "price: (\\d+"});
    AddSite("BadSelector", "/a", 30, {"div:first-child", ""});
    // Exponential backtracking on forty a's: far past the match limit.
    AddSite("Backtracks", "/a", 30, {"", "(a|aa)*\\d"});
    monitor.CheckForSites();

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "t Error processing Backtracks: The text to ignore \"(a|aa)*\\d\" could not be searched for on "
                         "the page: match limit exceeded",
                         "t Error processing BadPattern: The text to ignore \"price: (\\d+\" is not a pattern Vendrel "
                         "can use: missing closing parenthesis at offset 11",
                         "t Error processing BadSelector: The watched part \"div:first-child\" is not a selector "
                         "Vendrel understands: at position 4: \":first-child\" is not understood (pseudo-classes are "
                         "not supported)",
                         ""}));
    EXPECT_TRUE(mail->Messages().empty());
    EXPECT_EQ(monitor.LastPass().Failed, 3);
}

TEST(PageWatchMeasure, PatternsThatFindThousandsOfSlowMatchesStopAtTheTimeAllowed)
{
    // Each match needs about a million steps, under the match limit, and
    // there are thousands of them.
    std::string page;
    for (int i = 0; i < 200; ++i)
        page += std::string(20, 'a') + "X";
    TPageWatch watch(TSiteOptions{"", "(a|a)*\\d|X"});
    watch.TimeAllowed = std::chrono::milliseconds(200);
    try {
        (void)watch.MeasuredText(page);
        FAIL() << "a pattern this slow should not run to its end";
    } catch (const EWatchError& e) {
        EXPECT_NE(std::string(e.what()).find("took too long"), std::string::npos) << e.what();
    }
}

TEST(PageWatchMeasure, EmptyMatchesAndMatchesAtTheEdgesRemoveExactlyWhatTheyMatch)
{
    const auto measured = [](const std::string& pattern, const std::string& page) {
        return TPageWatch(TSiteOptions{"", pattern}).MeasuredText(page);
    };
    EXPECT_EQ(measured("x*", "axxbx"), "ab");
    EXPECT_EQ(measured("^a|c$", "abc"), "b");
    EXPECT_EQ(measured("(?i)CLOCK", "a clock, a Clock"), "a , a ");
    EXPECT_EQ(measured("CLOCK", "a clock"), "a clock") << "case-sensitive unless the pattern says (?i)";
    EXPECT_EQ(measured("a\\Kb", "ab ab"), "a a") << "\\K keeps what comes before it";
    EXPECT_EQ(measured("\\d", std::string("1\0" "2", 3)), std::string("\0", 1));

    // A watched part with nothing matched on the stored copy measures it as empty.
    TSystemClock clock;
    THeadlessHost host(clock);
    std::string value;
    const TSiteOptions price{".p", ""};
    EXPECT_FALSE(WatchedPageUnchanged(host, "S", &price, "<b class=p>1</b>", "<i>none</i>\r\n", 1, value));
    EXPECT_EQ(value, std::to_string(PageChangeMeasure("<b class=p>1</b>\r\n", "")));
    // Everything ignored on both sides leaves nothing that could change.
    const TSiteOptions everything{"", "(?s).*"};
    EXPECT_TRUE(WatchedPageUnchanged(host, "S", &everything, "new", "old", 1, value));
    EXPECT_EQ(value, "0");
}

TEST(PageWatchCommand, TheOnePassCommandFailsOnAMissingPartAndNeverWritesTheOptions)
{
    TTempDataFolder tmp;
    TLoopbackHttpServer http;
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a", "<div class=price>3</div><p>served 10:02</p>");
    WriteFile(tmp.DataFolder() + "Settings.dat",
              "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(mail.Port()) +
                  "\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\n");
    WriteFile(tmp.DataFolder() + "Sites.dat",
              "Price" + std::string(18, ' ') + "{" + http.Url("/a") + "}0\r\n");
    const std::string options = "[price]\r\n  watch = \".price\"\r\n";
    WriteFile(tmp.DataFolder() + "SiteOptions.dat", options);

    const auto first = RunCommand({VENDREL_CHECK});
    EXPECT_EQ(first.ExitStatus, 0) << first.Out << first.Err;
    http.SetPage("/a", "<div class=price>3</div><p>served 10:17</p>");
    const auto second = RunCommand({VENDREL_CHECK});
    EXPECT_EQ(second.ExitStatus, 0) << second.Out << second.Err;
    EXPECT_NE(second.Out.find(" Price unchanged (0), Skipping\n"), std::string::npos) << second.Out;
    http.SetPage("/a", "<div class=cost>3</div>");
    const auto third = RunCommand({VENDREL_CHECK});
    EXPECT_EQ(third.ExitStatus, 1) << third.Out << third.Err;
    EXPECT_NE(third.Out.find(" Price: nothing on the page matches the watched part \".price\"\n"), std::string::npos)
        << third.Out;
    EXPECT_EQ(mail.Messages().size(), 1u);
    EXPECT_EQ(ReadFile(tmp.DataFolder() + "SiteOptions.dat"), options);
}
