#include "engine/HeadlessHost.h"
#include "engine/SiteList.h"
#include "engine/SiteChecks.h"
#include "engine/SiteMonitor.h"
#include "platform/AtomicFile.h"
#include "message/MessageWriter.h"
#include "platform/Utilities.h"
#include "tests/support/MailServer.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/ScriptedServer.h"
#include <chrono>
#include <thread>
#include "transport/NetAntiFreeze.h"

#include <algorithm>

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

const std::string Pad(18, ' ');

struct Pipeline : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TLoopbackHttpServer http;
    std::unique_ptr<TMailServer> mail;
    TSystemClock clock;
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};

    Pipeline()
    {
        host.Log.StampText = [](TDateTime) { return std::string("t"); };
        host.Settings.DestEmail = "me@example.org";
        host.Settings.ActiveNetConnection = false;
        host.Settings.Server.Host = "127.0.0.1";
        host.Settings.Server.TimeOutSeconds = 20;
    }
    void StartMail(std::vector<std::string> args = {"--no-auth"})
    {
        mail = std::make_unique<TMailServer>(tmp.Root() + "mail", std::move(args));
        host.Settings.Server.Port = mail->Port();
    }
    void AddSite(const std::string& name, const std::string& path, int threshold, bool ticked = true)
    {
        host.SiteList.Add(MakeSiteEntry(name, http.Url(path), threshold), ticked);
    }
    std::vector<std::string> Log() const { return {host.Log.Lines().begin(), host.Log.Lines().end()}; }
};

std::string Html(const std::string& text)
{
    return "<html><head><title>t</title></head><body><p>" + text + "</p><a href=\"next.html\">n</a></body></html>\r\n";
}

} // namespace

TEST_F(Pipeline, FirstPassDeliversTickedSitesAndStoresTheRawPage)
{
    StartMail();
    http.SetPage("/a/", Html("alpha"));
    http.SetPage("/b/", Html("beta"));
    AddSite("Alpha", "/a/", -2);
    AddSite("Beta", "/b/", -2);
    AddSite("Gamma", "/g/", -2, false);
    monitor.CheckForSites();

    EXPECT_EQ(Log(), (std::vector<std::string>{"t Alpha processed, Delivering", "t Beta processed, Delivering", ""}));
    EXPECT_EQ(http.Requests(), 2) << "unticked sites are not fetched";
    const auto messages = mail->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find("Subject: Vendrel Delivery: Alpha\r\n"), std::string::npos);
    std::string unfolded = messages[0];
    for (auto at = unfolded.find("=\r\n"); at != std::string::npos; at = unfolded.find("=\r\n", at))
        unfolded.erase(at, 3);
    EXPECT_NE(unfolded.find("href=3D\"" + http.Url("/a/next.html") + "\""), std::string::npos)
        << "links are made absolute";
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("Alpha")), Html("alpha")) << "the stored copy is the page as downloaded";
    EXPECT_TRUE(monitor.LastPass().RanToEnd);
    EXPECT_EQ(monitor.LastPass().Failed, 0);
    EXPECT_TRUE(host.AnimRunning) << "a delivery makes the icon flash";
}

TEST_F(Pipeline, UnchangedPagesAreSkippedAndSmallChangesAddUpAgainstTheLastDelivery)
{
    StartMail();
    http.SetPage("/a", "abc\r\n");
    http.SetPage("/b", "abc\r\n");
    AddSite("A", "/a", 500);
    AddSite("B", "/b", 2000);
    monitor.CheckForSites();
    monitor.CheckForSites();
    http.SetPage("/a", "abd\r\n");
    http.SetPage("/b", "abd\r\n");
    monitor.CheckForSites();

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "t A processed, Delivering", "t B processed, Delivering", "",
                         "t A unchanged (0), Skipping", "t B unchanged (0), Skipping", "",
                         "t A has changed (1000), Delivering", "t B unchanged (1000), Skipping", ""}));
    EXPECT_EQ(mail->Messages().size(), 3u);
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("A")), "abd\r\n");
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("B")), "abc\r\n") << "a skipped page is not stored";
}

TEST_F(Pipeline, AlwaysDeliversEveryTimeAndDefaultFollowsTheCurrentChoice)
{
    StartMail();
    http.SetPage("/a", "abc\r\n");
    http.SetPage("/d", "abc\r\n");
    AddSite("Always", "/a", -1);
    AddSite("Default", "/d", -2);
    host.Settings.Sensitivity.ItemIndex = 1; // any change
    monitor.CheckForSites();
    http.SetPage("/d", "abd\r\n");
    monitor.CheckForSites();
    http.SetPage("/d", "abc\r\n");
    host.Settings.Sensitivity.ItemIndex = 7;
    host.Settings.Sensitivity.CustomThreshold = 2000;
    monitor.CheckForSites();

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "t Always processed, Delivering", "t Default processed, Delivering", "",
                         "t Always processed, Delivering", "t Default has changed (>0), Delivering", "",
                         "t Always processed, Delivering", "t Default unchanged (1000), Skipping", ""}));
}

TEST_F(Pipeline, FailuresAreLoggedAndKeepTheStoredPage)
{
    StartMail({"--no-auth", "--refuse-recipient", "me@example.org"});
    http.SetPage("/a", "new\r\n");
    host.SiteList.Add(MakeSiteEntry("Closed", "http://127.0.0.1:1/", -1), true);
    AddSite("Refused", "/a", -1);
    WriteFile(monitor.StoredPagePath("Refused"), "old\r\n");
    monitor.CheckForSites();

    const auto log = Log();
    EXPECT_EQ(log[0], "t Error processing Closed: Site Download Error");
    EXPECT_EQ(log[1], "t Refused processed, Delivering");
    EXPECT_EQ(log[2].rfind("t Delivery error: 5.1.1 <me@example.org>", 0), 0u) << log[2];
    // The reply's line break reads as nothing at the end of the line.
    EXPECT_EQ(log[2].find('?'), std::string::npos) << log[2];
    EXPECT_NE(log[2].back(), ' ') << log[2];
    EXPECT_EQ(log[3], "t Error processing Refused: Web site delivery error");
    EXPECT_EQ(log.back(), "");
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("Refused")), "old\r\n");
    EXPECT_EQ(monitor.LastPass().Failed, 2);
    EXPECT_TRUE(host.Boxes.empty()) << "a scheduled pass shows no boxes";
}

TEST_F(Pipeline, APageThatABaseWouldGrowBeyond64MiBFailsAndIsNotMailed)
{
    StartMail();
    // 2 MiB of relative links against a 450-byte base.
    std::string page = "<html><head><base href=\"http://example.org/" + std::string(440, 'b') + "/\"></head><body>";
    for (int i = 0; i < 200000; ++i)
        page += "<a href=x>";
    http.SetPage("/big", page + "</body></html>\r\n");
    AddSite("Amplified", "/big", -1);
    monitor.CheckForSites();
    const auto log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "t Amplified processed, Delivering");
    EXPECT_EQ(log[1], "t HTML parsing error: the rewritten page would exceed 64 MiB");
    EXPECT_EQ(log[2], "t Error processing Amplified: HTML Parsing Error: the rewritten page would exceed 64 MiB");
    EXPECT_EQ(monitor.LastPass().Failed, 1);
    EXPECT_FALSE(FileExists(monitor.StoredPagePath("Amplified")));
    EXPECT_TRUE(mail->Messages().empty());
}

TEST_F(Pipeline, AbortStopsThePassAtTheNextTickedSite)
{
    StartMail();
    http.SetPage("/a", Html("a"));
    http.SetPage("/b", Html("b"));
    AddSite("A", "/a", -1);
    AddSite("B", "/b", -1);
    // The user opens the window while A's mail goes out.
    host.OnProcessMessages = [&] {
        if (host.Caption.find("Delivering Site 1 of 2: A") != std::string::npos)
            monitor.Flags.AbortRequested = true;
    };
    monitor.CheckForSites();
    EXPECT_EQ(Log(), (std::vector<std::string>{"t A processed, Delivering"})) << "no separator after a stopped pass";
    // B's page may have been on its way already; it is neither mailed nor stored.
    EXPECT_EQ(mail->Messages().size(), 1u);
    EXPECT_FALSE(FileExists(monitor.StoredPagePath("B")));
    EXPECT_FALSE(monitor.LastPass().RanToEnd);
    EXPECT_TRUE(host.Timer1Interval) << "a stopped pass still re-arms";
}

TEST_F(Pipeline, SingleSendIgnoresThresholdAndShowsBothBoxesOnFailure)
{
    StartMail({"--no-auth", "--refuse-recipient", "me@example.org"});
    http.SetPage("/a", "abc\r\n");
    AddSite("News", "/a", 5000, false);
    // The stored copy equals the page: a send that went by the threshold
    // would skip it and show nothing.
    WriteFile(monitor.StoredPagePath("News"), "abc\r\n");
    monitor.SendSiteOfIndex(0);
    EXPECT_EQ(Log()[0], "t News processed, Delivering");
    ASSERT_EQ(host.Boxes.size(), 2u);
    EXPECT_EQ(host.Boxes[0].Text.rfind("Sending of message with SMTP failed with the error: \r\n\r\n5.1.1", 0), 0u)
        << host.Boxes[0].Text;
    EXPECT_EQ(host.Boxes[1].Text, "News Error: Web site delivery error");
    EXPECT_EQ(host.CurrentCursor, TCursor::Default);
}

TEST_F(Pipeline, ANulByteIsMeasuredStoredAndMailedWithWhatFollowsIt)
{
    using namespace std::string_literals;
    StartMail();
    const std::string first = "<html><body><p>a\0b</p>\r\n<p>one</p></body></html>\r\n"s;
    const std::string second = "<html><body><p>a\0b</p>\r\n<p>two</p></body></html>\r\n"s;
    http.SetPage("/n", first);
    AddSite("News", "/n", 0);
    monitor.CheckForSites();
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("News")), first);
    http.SetPage("/n", second);
    monitor.CheckForSites();
    EXPECT_EQ(Log(), (std::vector<std::string>{"t News processed, Delivering", "", "t News has changed (>0), Delivering", ""}));
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("News")), second);
    const auto messages = mail->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[1].find("a=00b"), std::string::npos);
    EXPECT_NE(messages[1].find("<p>two</p>"), std::string::npos);
}

TEST_F(Pipeline, NamesThatCannotNameAStoredPageAreNeverFetchedMailedOrStored)
{
    StartMail();
    http.SetPage("/p", Html("page"));
    const std::string longName(MaxSiteNameBytes + 1, 'n');
    for (const std::string& name : {std::string("../../../escape"), std::string("a/b"), std::string(".."), longName})
        AddSite(name, "/p", -1);
    AddSite("Good", "/p", -1);
    monitor.CheckForSites();
    monitor.CheckForSites();

    const auto log = Log();
    ASSERT_EQ(log.size(), 12u);
    for (int pass = 0; pass < 2; ++pass) {
        const std::size_t at = static_cast<std::size_t>(pass) * 6;
        EXPECT_EQ(log[at], "t Error processing ..: The site name cannot be used as a file name: it is \"..\"");
        EXPECT_EQ(log[at + 1], "t Error processing ../../../escape: The site name cannot be used as a file name: it "
                               "holds one of \\ / : * ? \" < > |");
        EXPECT_EQ(log[at + 2].rfind("t Error processing a/b: The site name cannot be used as a file name: ", 0), 0u);
        EXPECT_EQ(log[at + 3], "t Good processed, Delivering");
        EXPECT_EQ(log[at + 4], "t Error processing " + longName +
                                   ": The site name cannot be used as a file name: it is longer than 239 bytes");
    }
    EXPECT_EQ(http.Requests(), 2) << "only Good is fetched";
    EXPECT_EQ(mail->Messages().size(), 2u);
    EXPECT_FALSE(FileExists(tmp.DataFolder() + "../../escape.html"));
    EXPECT_FALSE(FileExists(tmp.Root() + "escape.html"));
    EXPECT_EQ(monitor.LastPass().Failed, 4);
}

TEST_F(Pipeline, AStoredPageThatCannotBeWrittenKeepsTheLastCopyAndSaysItWillBeSentAgain)
{
    StartMail();
    http.SetPage("/n", "new\r\n");
    AddSite("News", "/n", 0);
    WriteFile(monitor.StoredPagePath("News"), "old\r\n");
    // A full disk: the write of the new copy fails.
    SetAtomicWriteProbe([](const std::string&) { return false; });
    monitor.CheckForSites();
    SetAtomicWriteProbe(nullptr);

    const auto log = Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "t News has changed (>0), Delivering");
    EXPECT_EQ(log[1].rfind("t Error processing News: Cannot write " + monitor.StoredPagePath("News") + ": ", 0), 0u)
        << log[1];
    EXPECT_EQ(log[2], "t News was mailed, but its stored copy was not replaced: the next check will deliver it again");
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("News")), "old\r\n");
    EXPECT_EQ(monitor.LastPass().Failed, 1);

    monitor.CheckForSites();
    EXPECT_EQ(Log()[4], "t News has changed (>0), Delivering");
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("News")), "new\r\n");
    EXPECT_EQ(mail->Messages().size(), 2u);
}

TEST_F(Pipeline, APassRemovesTheTemporaryPagesThatKilledSavesLeft)
{
    StartMail();
    http.SetPage("/n", "page\r\n");
    AddSite("News", "/n", -1);
    const std::string pages = tmp.DataFolder() + "HTML/";
    WriteFile(pages + "News.html.tmp-Ab3xY9", std::string(1 << 16, 'x'));
    WriteFile(pages + "Gone.html.tmp-000000", "x");
    WriteFile(pages + "notes.txt.tmp-000000", "not ours");
    WriteFile(tmp.DataFolder() + "Settings.dat.tmp-000000", "a save of the window");
    monitor.CheckForSites();
    EXPECT_FALSE(FileExists(pages + "News.html.tmp-Ab3xY9"));
    EXPECT_FALSE(FileExists(pages + "Gone.html.tmp-000000"));
    EXPECT_TRUE(FileExists(pages + "notes.txt.tmp-000000"));
    EXPECT_TRUE(FileExists(tmp.DataFolder() + "Settings.dat.tmp-000000"));
    EXPECT_TRUE(FileExists(pages + "News.html"));

    // A single send cleans up too.
    WriteFile(pages + "News.html.tmp-Zz9Zz9", "x");
    EXPECT_TRUE(monitor.SendSiteOfIndex(0, false));
    EXPECT_FALSE(FileExists(pages + "News.html.tmp-Zz9Zz9"));
}

TEST_F(Pipeline, MailCarriesSubjectRecipientsSenderAndFooter)
{
    StartMail();
    http.SetPage("/n", Html("news"));
    AddSite("News", "/n", 5000);
    host.Settings.DestEmail = "me@example.org, you@example.org";
    EXPECT_TRUE(monitor.SendSiteOfIndex(0));
    const auto messages = mail->Messages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string& m = messages[0];
    EXPECT_NE(m.find("From: me@example.org\r\n"), std::string::npos) << m.substr(0, 400);
    EXPECT_NE(m.find("To: me@example.org, you@example.org\r\n"), std::string::npos);
    EXPECT_NE(m.find("Subject: Vendrel Delivery: News\r\n"), std::string::npos);
    EXPECT_NE(m.find("\"News\" sent from Vendrel at "), std::string::npos);
    EXPECT_TRUE(host.Boxes.empty());
    EXPECT_EQ(host.Caption, "Vendrel, Web Site Delivery Software");
}

namespace {

// Python's email package reads the stored message; the files it writes.
std::string PartsOf(const std::string& stored, const std::string& folder)
{
    const std::string command =
        std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py " + stored + " " + folder;
    EXPECT_EQ(std::system(command.c_str()), 0);
    return folder + "/";
}

} // namespace

TEST_F(Pipeline, PagesReachTheReaderInTheirOwnCharacterSet)
{
    StartMail();
    // UTF-8 that only the HTTP response names.
    const std::string utf8Text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x94 \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    http.SetPage("/u", Html(utf8Text), "text/html; charset=utf-8");
    // windows-1251 that only the page's own meta declaration names.
    const std::string cp1251 = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                               "charset=windows-1251\"><title>t</title></head><body><p>\xCF\xF0\xE8\xE2\xE5\xF2 "
                               "\xEC\xE8\xF0</p><a href=\"next.html\">n</a></body></html>\r\n";
    http.SetPage("/w", cp1251, "text/html");
    // Nothing names a charset: the parts keep their old form.
    http.SetPage("/p", Html("plain"), "text/html");
    AddSite("A Unicode", "/u", 5000);
    AddSite("B Cyrillic", "/w", 5000);
    AddSite("C Plain", "/p", 5000);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(monitor.SendSiteOfIndex(i)) << Log().back();
    ASSERT_EQ(mail->Messages().size(), 3u);

    const std::string unicode = PartsOf(mail->WaitForMessage(1), tmp.Root() + "parts1");
    EXPECT_NE(ReadFile(unicode + "2.text_html.txt").find("<p>" + utf8Text + "</p>"), std::string::npos);
    EXPECT_TRUE(ReadFile(unicode + "1.text_plain.txt").starts_with("\"A Unicode\" sent from Vendrel at "));
    EXPECT_NE(mail->Messages()[0].find("Content-Type: text/html; charset=UTF-8\r\n"), std::string::npos);

    const std::string cyrillic = PartsOf(mail->WaitForMessage(2), tmp.Root() + "parts2");
    EXPECT_NE(ReadFile(cyrillic + "2.text_html.txt")
                  .find("<p>\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80</p>"),
              std::string::npos);
    EXPECT_NE(mail->Messages()[1].find("Content-Type: text/html; charset=windows-1251\r\n"), std::string::npos);

    const std::string plain = mail->Messages()[2];
    EXPECT_NE(plain.find("Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n"),
              std::string::npos);
    EXPECT_NE(plain.find("Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n"), std::string::npos);
}

// A second pass or send asked for from an event handled inside a running one
// (Check Now pressed during a pass, the timer, the tray) would share the one
// download, message and SMTP session: it asks the running pass to stop
// instead, and every site is fetched and mailed at most once.
TEST_F(Pipeline, PassAskedForDuringAPassStopsTheRunningOneInsteadOfNesting)
{
    StartMail();
    http.SetPage("/a", Html("alpha"));
    http.SetPage("/b", Html("beta"));
    AddSite("A", "/a", -1);
    AddSite("B", "/b", -1);
    int nested = 0;
    host.OnProcessMessages = [&] {
        if (nested++ == 0) {
            monitor.CheckForSites();
            monitor.SendSiteOfIndex(1, true);
        }
    };
    monitor.CheckForSites();
    host.OnProcessMessages = nullptr;

    EXPECT_FALSE(monitor.LastPass().RanToEnd) << "the running pass stops at its next ticked site";
    EXPECT_LE(http.Requests(), 2) << "each page asked for at most once";
    EXPECT_TRUE(mail->Messages().empty()) << "the stopped fetch delivers nothing";
    ASSERT_EQ(host.Boxes.size(), 1u);
    EXPECT_EQ(host.Boxes[0].Text, "Vendrel is busy checking your sites; try again when it has finished.");
    EXPECT_FALSE(monitor.Running());
    EXPECT_TRUE(host.Timer1Interval.has_value()) << "the running pass re-arms the timer as it leaves";

    // Afterwards passes run again as usual.
    monitor.CheckForSites();
    EXPECT_TRUE(monitor.LastPass().RanToEnd);
}

TEST_F(Pipeline, SecondSendDuringASendFailsItselfAndLeavesTheFirstIntact)
{
    // A server that takes its time over the message, as a real one may.
    std::string data;
    TScriptedServer server([&data](TScriptedPeer& peer) {
        peer.Send("220 slow\r\n");
        for (;;) {
            const std::string line = peer.ReadLine();
            if (peer.Closed())
                return;
            if (line.rfind("EHLO", 0) == 0)
                peer.Send("250 slow\r\n");
            else if (line == "DATA") {
                peer.Send("354 go\r\n");
                data = peer.ReadData();
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                peer.Send("250 queued\r\n");
            } else if (line == "QUIT") {
                peer.Send("221 bye\r\n");
                return;
            } else
                peer.Send("250 ok\r\n");
        }
    });
    host.Settings.Server.Port = server.Port();
    // As in the window: the transport's waits hand the thread to the events.
    struct TFreeze : TNetAntiFreezeBase {
        THeadlessHost* host;
        void Process() override { host->ProcessMessages(); }
    } freeze;
    freeze.host = &host;
    int nestedResult = -1;
    host.OnProcessMessages = [&] {
        if (nestedResult == -1 && monitor.Composer.Sending())
            nestedResult = monitor.Composer.ComposeAndSend(host.Settings.Server, "me@example.org", "nested", "body", "", false, nullptr,
                                                           "me@example.org", false, false, true);
    };
    const bool first = monitor.Composer.ComposeAndSend(host.Settings.Server, "me@example.org", "first", "body", "", false, nullptr,
                                                       "me@example.org", false, false, true);
    host.OnProcessMessages = nullptr;
    EXPECT_TRUE(first);
    EXPECT_EQ(nestedResult, 0) << "the nested send ran and failed itself";
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "t Sending error: Another message is being sent"), log.end());
    const auto lines = server.Finish();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DATA"), 1) << "one message on the session";
    EXPECT_NE(data.find("Subject: first\r\n"), std::string::npos);
}

TEST_F(Pipeline, StartWithAnArgumentChecksTenSecondsLaterInEitherMode)
{
    host.Settings.OncePerDay = true;
    monitor.ArmFirstCheck();
    EXPECT_EQ(host.Timer1Interval, 10000u);
    host.Settings.OncePerDay = false;
    host.Settings.CheckFrequency = 3;
    monitor.ArmFirstCheck();
    EXPECT_EQ(host.Timer1Interval, 10000u);
}

// The mail's Date header and the footer's time stamp come from the one clock
// the monitor was given, not one each from the system.
TEST(PipelineClock, TheDateHeaderAndTheFooterReadTheSameInjectedClock)
{
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TLoopbackHttpServer http;
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    TManualClock clock;
    clock.Set(LocalDateTime(2019, 3, 4, 5, 6, 7));
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};
    host.Settings.DestEmail = "me@example.org";
    host.Settings.ActiveNetConnection = false;
    host.Settings.Server.Host = "127.0.0.1";
    host.Settings.Server.Port = mail.Port();
    http.SetPage("/c/", Html("clock"));
    host.SiteList.Add(MakeSiteEntry("Clock", http.Url("/c/"), -1), true);
    ASSERT_TRUE(monitor.SendSiteOfIndex(0, false));

    const auto messages = mail.Messages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string date = "Date: " + TNetMessageWriter::DateText(clock.Now()) + "\r\n";
    EXPECT_NE(messages[0].find(date), std::string::npos) << messages[0].substr(0, 600);
    EXPECT_NE(messages[0].find("\"Clock\" sent from Vendrel at " + DateTimeText(clock.Now())), std::string::npos);
}

TEST_F(Pipeline, TheThirdFailedCheckInARowIsToldOnceAndAStoppedFetchDoesNotCount)
{
    StartMail();
    AddSite("Gone", "/gone", -1);
    monitor.CheckForSites();
    monitor.CheckForSites();
    // The user stops the third check while its page arrives: no failure of the site's.
    host.OnProcessMessages = [&] { monitor.Flags.AbortRequested = true; };
    monitor.CheckForSites();
    host.OnProcessMessages = nullptr;
    EXPECT_TRUE(host.TrayMessages.empty());
    EXPECT_EQ(ReadSiteChecks(monitor.SiteChecksPath("Gone")).Failures, 2);

    monitor.CheckForSites();
    ASSERT_EQ(host.TrayMessages.size(), 1u);
    EXPECT_EQ(host.TrayMessages[0].first, "Vendrel could not check Gone");
    EXPECT_EQ(host.TrayMessages[0].second, "It has failed 3 checks in a row: the server answered 404 Not Found");
    EXPECT_NE(std::find(host.Log.Lines().begin(), host.Log.Lines().end(),
                        "t Gone has failed 3 checks in a row: the server answered 404 Not Found"),
              host.Log.Lines().end());
    ASSERT_EQ(mail->Messages().size(), 1u);
    EXPECT_NE(mail->Messages()[0].find("Subject: Vendrel could not check Gone\r\n"), std::string::npos);
    EXPECT_FALSE(host.AnimRunning) << "a notice is no delivery";

    monitor.CheckForSites();
    EXPECT_EQ(host.TrayMessages.size(), 1u);
    EXPECT_EQ(mail->Messages().size(), 1u);

    // A single send neither counts nor clears the record: only checks do.
    EXPECT_FALSE(monitor.SendSiteOfIndex(0, false));
    EXPECT_EQ(ReadSiteChecks(monitor.SiteChecksPath("Gone")).Failures, 4);
    http.SetPage("/gone", Html("back"));
    monitor.CheckForSites();
    const TSiteChecks good = ReadSiteChecks(monitor.SiteChecksPath("Gone"));
    EXPECT_EQ(good.Failures, 0);
    EXPECT_TRUE(good.LastGood.has_value());

    // Deleting the site takes its record with its stored page.
    ASSERT_TRUE(FileExists(monitor.StoredPagePath("Gone")));
    monitor.RemoveStoredPage("Gone");
    EXPECT_FALSE(FileExists(monitor.StoredPagePath("Gone")));
    EXPECT_FALSE(FileExists(monitor.SiteChecksPath("Gone")));
}

TEST_F(Pipeline, AFailedDeliveryCountsAndIsToldInTheServersWords)
{
    StartMail({"--no-auth", "--refuse-recipient", "me@example.org"});
    http.SetPage("/a", Html("a"));
    AddSite("Refused", "/a", -1);
    for (int i = 0; i < 3; ++i)
        monitor.CheckForSites();
    ASSERT_EQ(host.TrayMessages.size(), 1u);
    const std::string told = "It has failed 3 checks in a row: the mail could not be sent: 5.1.1 <me@example.org>";
    EXPECT_EQ(host.TrayMessages[0].second.rfind(told, 0), 0u) << host.TrayMessages[0].second;
    EXPECT_EQ(host.TrayMessages[0].second.find('\r'), std::string::npos) << "one line";
    // The notice goes to the same refusing server and is refused too; that is logged.
    EXPECT_EQ(Log().end()[-2].rfind("t Delivery error: 5.1.1", 0), 0u) << Log().end()[-2];
}

TEST(SiteChecks, RecordsReadBackAndDamagedOnesReadAsNoRecord)
{
    TSiteChecks checks;
    checks.Failures = 7;
    checks.LastGood = TDateTime{} + std::chrono::seconds(1765298400);
    EXPECT_EQ(ParseSiteChecks(SiteChecksText(checks)), checks);
    EXPECT_EQ(ParseSiteChecks(SiteChecksText(TSiteChecks{})), TSiteChecks{});
    for (const std::string& damaged : std::vector<std::string>{"", "Failures=", "Failures=-3\r\n", "Failures=2x\r\nLastGood=abc",
                                      "LastGood=-5\r\n", std::string("Fail\0ures=2", 11), "Failures=99999999999\r\n"})
        EXPECT_EQ(ParseSiteChecks(damaged), TSiteChecks{}) << damaged;
    // A torn write keeps what came whole.
    EXPECT_EQ(ParseSiteChecks("Failures=2\r\nLastGo").Failures, 2);
}

// Good checks after good checks leave the record's bytes alone and move only
// its time; the last good check's time still reaches the record at the
// failure after it, and a record of failures is never taken for a good one.
TEST(SiteChecksRecord, AGoodCheckAfterGoodChecksMovesOnlyTheTimeAndAFailureKeepsIt)
{
    TTempDataFolder tmp{TDesktopHome::Untouched};
    const std::string path = tmp.Root() + "Site.checks";
    const TDateTime first = TDateTime{} + std::chrono::seconds(1700000000);
    const TDateTime later = first + std::chrono::hours(5);
    EXPECT_FALSE(NoteGoodCheck(path, first)) << "no record yet: it is written whole";
    ASSERT_TRUE(WriteSiteChecks(path, {0, first}));
    const std::string bytes = ReadFile(path);
    ASSERT_TRUE(NoteGoodCheck(path, later));
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(ReadSiteChecks(path), (TSiteChecks{0, later}));

    TSiteChecks failed = ReadSiteChecks(path);
    ++failed.Failures;
    ASSERT_TRUE(WriteSiteChecks(path, failed));
    EXPECT_FALSE(NoteGoodCheck(path, later + std::chrono::hours(1)));
    EXPECT_EQ(ReadSiteChecks(path), (TSiteChecks{1, later}));
}
