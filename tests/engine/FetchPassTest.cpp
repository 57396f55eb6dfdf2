// The check pass with its fetches overlapping: what the user sees (the log,
// the mails, the stored pages) is what a pass that took one site after
// another would show, while the servers see many requests at once, at most
// four to a host, kept connections and conditional requests.

#include "engine/FetchPool.h"
#include "engine/HeadlessHost.h"
#include "engine/PageValidators.h"
#include "engine/SiteChecks.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "platform/Utilities.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/PageServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace {

struct FetchPass : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TSmtpSink mail;
    TSystemClock clock;
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};

    FetchPass()
    {
        host.Log.StampText = [](TDateTime) { return std::string("t"); };
        host.Settings.DestEmail = "me@example.org";
        host.Settings.ActiveNetConnection = false;
        host.Settings.Server.Host = "127.0.0.1";
        host.Settings.Server.Port = mail.Port();
        host.Settings.Server.TimeOutSeconds = 20;
    }
    void AddSite(const std::string& name, const std::string& url, int threshold)
    {
        host.SiteList.Add(MakeSiteEntry(name, url, threshold), true);
    }
    std::vector<std::string> Log() const { return {host.Log.Lines().begin(), host.Log.Lines().end()}; }
    // The subjects of the mails received, in the order they arrived.
    std::vector<std::string> Subjects() const
    {
        std::vector<std::string> subjects;
        for (const auto& m : mail.Received()) {
            const auto at = m.find("Subject: ");
            subjects.push_back(m.substr(at + 9, m.find("\r\n", at) - at - 9));
        }
        return subjects;
    }
};

std::string Page(const std::string& text)
{
    return "<html><body><p>" + text + "</p><a href=\"x.html\">x</a></body></html>\r\n";
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// Sites whose pages answer in reverse order, spread over three hosts, with
// failures among them: the log, the mails and the stored pages come in list
// order, and the pass takes about as long as its slowest page, not the sum.
TEST_F(FetchPass, LogAndMailsKeepListOrderWhilePagesArriveInReverse)
{
    TPageServer a("127.0.0.2"), b("127.0.0.3"), c("127.0.0.4");
    TPageServer* servers[] = {&a, &b, &c};
    constexpr int Sites = 9;
    for (int i = 0; i < Sites; ++i) {
        TPageServer::TPage page;
        page.Body = Page("site " + std::to_string(i));
        page.DelayMs = (Sites - i) * 60;
        servers[i % 3]->SetPage("/p" + std::to_string(i), page);
    }
    for (int i = 0; i < Sites; ++i) {
        const std::string name = "S" + std::to_string(i);
        if (i == 3)
            AddSite(name, "http://127.0.0.1:1/", -2); // refused
        else if (i == 5)
            AddSite(name, "http://127.0.0.5:1/a b", -2); // an address the client rejects
        else
            AddSite(name, servers[i % 3]->Url("/p" + std::to_string(i)), -2);
    }
    const auto start = std::chrono::steady_clock::now();
    monitor.CheckForSites();
    const double took = SecondsSince(start);

    const auto log = Log();
    ASSERT_EQ(log.size(), 11u) << ::testing::PrintToString(log);
    std::vector<std::string> expected;
    for (int i = 0; i < Sites; ++i) {
        const std::string name = "S" + std::to_string(i);
        if (i == 3) {
            expected.push_back("t Error processing S3: Site Download Error");
        } else if (i == 5) {
            EXPECT_EQ(log[expected.size()].rfind("t HTML download error: ", 0), 0u) << log[expected.size()];
            expected.push_back(log[expected.size()]);
            expected.push_back("t Error processing S5: Site Download Error");
        } else {
            expected.push_back("t " + name + " processed, Delivering");
        }
    }
    expected.push_back("");
    EXPECT_EQ(log, expected);
    // The mails may reach the server in any order over their sessions.
    auto subjects = Subjects();
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"Vendrel Delivery: S0", "Vendrel Delivery: S1",
                                                  "Vendrel Delivery: S2", "Vendrel Delivery: S4",
                                                  "Vendrel Delivery: S6", "Vendrel Delivery: S7",
                                                  "Vendrel Delivery: S8"}));
    EXPECT_EQ(ReadFile(monitor.StoredPagePath("S8")), Page("site 8"));
    EXPECT_EQ(monitor.LastPass().Failed, 2);
    EXPECT_TRUE(monitor.LastPass().RanToEnd);
    // One after another the delays alone add up to 2.7 s.
    EXPECT_LT(took, 1.6) << "the fetches did not overlap";
    EXPECT_EQ(host.Caption, "Vendrel, Web Site Delivery Software");
}

// Twelve sites on one host, nine hosts with four sites each: never more than
// four requests at once to one host, nor more than 32 in all, and the
// connections to a host are kept for its next pages.
TEST_F(FetchPass, AtMostFourFetchesToAHostAndThirtyTwoInAll)
{
    auto all = std::make_shared<TFlightCounter>();
    std::vector<std::unique_ptr<TPageServer>> servers;
    for (int h = 0; h < 10; ++h)
        servers.push_back(std::make_unique<TPageServer>("127.0.0." + std::to_string(10 + h), all));
    int site = 0;
    auto add = [&](TPageServer& server, int delayMs) {
        TPageServer::TPage page;
        page.Body = Page("page " + std::to_string(site));
        page.DelayMs = delayMs;
        const std::string path = "/p" + std::to_string(site);
        server.SetPage(path, page);
        AddSite("Site " + std::to_string(1000 + site++), server.Url(path), -2);
    };
    for (int i = 0; i < 12; ++i)
        add(*servers[0], 0);
    for (int h = 1; h < 10; ++h)
        for (int i = 0; i < 4; ++i)
            add(*servers[static_cast<std::size_t>(h)], 0);
    // The servers hold their answers until as many requests as the limit
    // allows have come (or a while has passed): past the limit would show.
    for (auto& s : servers)
        s->Hold();
    const auto start = std::chrono::steady_clock::now();
    host.OnProcessMessages = [&] {
        if (all->Now >= 32 || SecondsSince(start) > 5)
            for (auto& s : servers)
                s->Release();
    };
    // The first pass stores every page; the second finds them unchanged.
    monitor.CheckForSites();
    host.OnProcessMessages = nullptr;
    monitor.CheckForSites();

    EXPECT_EQ(servers[0]->MostInFlight(), 4);
    EXPECT_EQ(all->Most, 32);
    EXPECT_EQ(mail.Messages(), site);
    for (const auto& s : servers)
        EXPECT_LE(s->MostInFlight(), 4);
    // Connections are kept: a pass opens at most four to a host, so the busy
    // host's 24 pages of the two passes come over eight at most.
    EXPECT_LE(servers[0]->Connections(), 8) << servers[0]->Url("/");
    const auto log = Log();
    ASSERT_EQ(log.size(), 2u * (static_cast<std::size_t>(site) + 1));
    EXPECT_EQ(log[static_cast<std::size_t>(site) + 1], "t Site 1000 unchanged (0), Skipping");
}

// More hosts than fetches at once, each with three pages in turn, as a
// user's list across the internet looks: every host's connection is kept
// for its next page, not closed to make room for another host's.
TEST_F(FetchPass, ConnectionsAreKeptForEveryHostWhenThereAreMoreHostsThanFetches)
{
    constexpr int Hosts = 40;
    constexpr int Rounds = 3;
    std::vector<std::unique_ptr<TPageServer>> servers;
    for (int h = 0; h < Hosts; ++h)
        servers.push_back(std::make_unique<TPageServer>("127.0.0." + std::to_string(100 + h)));
    for (int round = 0; round < Rounds; ++round)
        for (int h = 0; h < Hosts; ++h) {
            const std::string path = "/p" + std::to_string(round);
            TPageServer::TPage page;
            page.Body = Page("host " + std::to_string(h) + " page " + std::to_string(round));
            servers[static_cast<std::size_t>(h)]->SetPage(path, page);
            AddSite("Site " + std::to_string(1000 + round * Hosts + h), servers[static_cast<std::size_t>(h)]->Url(path),
                    -2);
        }
    monitor.CheckForSites();

    ASSERT_EQ(mail.Messages(), Hosts * Rounds);
    int connections = 0;
    for (const auto& s : servers)
        connections += s->Connections();
    // One a host when every page finds its host's connection idle; a second
    // now and then when a host's next page starts before its last one ended.
    // Closing idle connections for room would open one for nearly every page.
    EXPECT_LE(connections, Hosts * 3 / 2) << connections << " connections";
}

// A stored page with validators: the next fetch asks with the server's own
// values and a 304 is an unchanged page. A page fetched but not delivered
// (below its threshold) keeps the stored copy's validators; "every time"
// sites and "Send Site" ask for the whole page; validators that do not
// belong to the stored copy are not sent; they go with a deleted site.
TEST_F(FetchPass, ValidatorsAreKeptBesideTheStoredCopyAndAskedWith)
{
    TPageServer server("127.0.0.2");
    const std::string modified = "Tue, 01 Dec 2026 10:00:00 GMT";
    server.SetPage("/n", {.Body = "abc\r\n", .ETag = "\"v1\"", .LastModified = modified});
    server.SetPage("/a", {.Body = "always\r\n", .ETag = "\"a1\"", .LastModified = ""});
    AddSite("News", server.Url("/n"), 2000);
    AddSite("Always", server.Url("/a"), -1);
    // The headers of the n-th request for a path (the two sites' requests overlap).
    auto headersOf = [&](const std::string& path, std::size_t n) {
        std::vector<std::map<std::string, std::string>> of;
        for (const auto& r : server.Log())
            if (r.Path == path)
                of.push_back(r.Headers);
        return n < of.size() ? of[n] : std::map<std::string, std::string>{{"missing", "request"}};
    };
    auto asked = [](const std::map<std::string, std::string>& headers, const std::string& name) {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string("(none)") : it->second;
    };

    monitor.CheckForSites();
    const std::string stored = monitor.StoredPagePath("News");
    EXPECT_EQ(ReadFile(ValidatorsPath(stored)), "Page-Length: 5\r\nETag: \"v1\"\r\nLast-Modified: " + modified + "\r\n");
    EXPECT_EQ(asked(headersOf("/n", 0), "if-none-match"), "(none)") << "nothing stored, nothing to ask with";

    monitor.CheckForSites();
    EXPECT_EQ(asked(headersOf("/n", 1), "if-none-match"), "\"v1\"");
    EXPECT_EQ(asked(headersOf("/n", 1), "if-modified-since"), modified);
    EXPECT_EQ(asked(headersOf("/a", 1), "if-none-match"), "(none)") << "a site delivered every time asks for the whole page";
    // The list is sorted: Always comes first.
    EXPECT_EQ(Log()[3], "t Always processed, Delivering");
    EXPECT_EQ(Log()[4], "t News unchanged (0), Skipping");

    // A change below the threshold: fetched whole, measured, not delivered,
    // and the stored copy's validators stay.
    server.SetPage("/n", {.Body = "abd\r\n", .ETag = "\"v2\"", .LastModified = "Wed, 02 Dec 2026 10:00:00 GMT"});
    monitor.CheckForSites();
    EXPECT_EQ(Log()[7], "t News unchanged (1000), Skipping");
    monitor.CheckForSites();
    EXPECT_EQ(asked(headersOf("/n", 3), "if-none-match"), "\"v1\"") << "still measured against the stored copy";
    EXPECT_EQ(ReadFile(stored), "abc\r\n");

    // A single send fetches whole and keeps what came with the page.
    EXPECT_TRUE(monitor.SendSiteOfIndex(1, false));
    EXPECT_EQ(asked(headersOf("/n", 4), "if-none-match"), "(none)");
    EXPECT_EQ(ReadFile(stored), "abd\r\n");
    EXPECT_NE(ReadFile(ValidatorsPath(stored)).find("ETag: \"v2\"\r\n"), std::string::npos);

    // A stored copy replaced by other means: its validators no longer hold.
    WriteFile(stored, "something else\r\n");
    monitor.CheckForSites();
    EXPECT_EQ(asked(headersOf("/n", 5), "if-none-match"), "(none)");

    // Always at every pass, News at the first, the single send and the last.
    EXPECT_EQ(mail.Messages(), 8);
    monitor.RemoveStoredPage("News");
    EXPECT_FALSE(FileExists(stored));
    EXPECT_FALSE(FileExists(ValidatorsPath(stored)));
}

// While the pass waits for a slow page, the pages after it that have arrived
// hold a bounded amount of memory: no further fetch starts past it, and every
// page still comes once the pass takes them in turn.
TEST(FetchPoolMemory, PagesWaitingForTheirTurnHoldAMegabyteOrSoThenTheRestWait)
{
    TPageServer slow("127.0.0.2"), b("127.0.0.3"), c("127.0.0.4");
    constexpr int Pages = 30;
    const std::string big(300 * 1024, 'x');
    TPageServer::TPage first;
    first.Body = "first";
    first.DelayMs = 1000;
    slow.SetPage("/0", first);
    TFetchPool pool(TFetchLimits{}, nullptr);
    std::vector<int> ids{pool.Add(slow.Url("/0"))};
    for (int i = 1; i <= Pages; ++i) {
        TPageServer& server = i % 2 ? b : c;
        TPageServer::TPage page;
        page.Body = big + std::to_string(i);
        server.SetPage("/" + std::to_string(i), page);
        ids.push_back(pool.Add(server.Url("/" + std::to_string(i))));
    }
    pool.SetWanted(ids[0]);
    std::int64_t mostHeld = 0;
    while (!pool.Done(ids[0])) {
        pool.Pump(20);
        mostHeld = std::max(mostHeld, pool.HeldBytes());
    }
    int arrived = 0;
    for (int i = 1; i <= Pages; ++i)
        arrived += pool.Done(ids[static_cast<std::size_t>(i)]) ? 1 : 0;
    // A megabyte arrived (four pages), and at most four more on their way to
    // each of the two hosts when the limit was reached.
    EXPECT_LE(arrived, 4 + 8);
    EXPECT_LE(mostHeld, std::int64_t{13} * 300 * 1024);
    EXPECT_EQ(pool.Take(ids[0]).Text, "first");
    for (int i = 1; i <= Pages; ++i) {
        const int id = ids[static_cast<std::size_t>(i)];
        pool.SetWanted(id);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!pool.Done(id) && std::chrono::steady_clock::now() < deadline)
            pool.Pump(20);
        ASSERT_TRUE(pool.Done(id)) << "page " << i;
        EXPECT_EQ(pool.Take(id).Text, big + std::to_string(i));
    }
    EXPECT_EQ(pool.HeldBytes(), 0);
}

// The user opens the window while pages are still on their way: the pass
// stops at once, the fetches under way end, the site whose turn it was
// fails as a stopped fetch always did, nothing is mailed or stored, and no
// separator is written.
TEST_F(FetchPass, AStopInTheMiddleOfOverlappingFetchesEndsThemAll)
{
    TPageServer a("127.0.0.2"), b("127.0.0.3");
    for (int i = 0; i < 6; ++i) {
        TPageServer& s = i % 2 ? b : a;
        s.SetBody("/p" + std::to_string(i), Page("p" + std::to_string(i)));
        AddSite("S" + std::to_string(i), s.Url("/p" + std::to_string(i)), -1);
    }
    a.Hold();
    b.Hold();
    // Stopped while the first site's page is awaited and all six are asked for.
    host.OnProcessMessages = [&] {
        if (host.Caption.find("Downloading Site 1 of 6") != std::string::npos && a.Requests() + b.Requests() >= 6)
            monitor.Flags.AbortRequested = true;
    };
    const auto start = std::chrono::steady_clock::now();
    monitor.CheckForSites();
    host.OnProcessMessages = nullptr;
    EXPECT_LT(SecondsSince(start), 5.0);
    a.Release();
    b.Release();

    EXPECT_EQ(Log(), (std::vector<std::string>{"t Error processing S0: Site Download Error"}));
    EXPECT_EQ(mail.Messages(), 0);
    EXPECT_FALSE(FileExists(monitor.StoredPagePath("S1")));
    EXPECT_FALSE(monitor.LastPass().RanToEnd);
    EXPECT_TRUE(host.Timer1Interval.has_value());

    // The next pass runs as usual.
    monitor.CheckForSites();
    EXPECT_TRUE(monitor.LastPass().RanToEnd);
    EXPECT_EQ(mail.Messages(), 6);
}

// Mails finish out of order over the kept sessions (the first one's server
// takes its time, another is refused): each site's lines, the failure's
// among them, still come in list order, and only the mails the server took
// replace their stored copies.
TEST_F(FetchPass, MailsThatFinishOutOfOrderAreLoggedInListOrder)
{
    std::mutex lock;
    std::vector<std::string> finished;
    TScriptedServer smtp(
        [&](TScriptedPeer& peer) {
            peer.Send("220 scripted\r\n");
            for (;;) {
                const std::string line = peer.ReadLine();
                if (peer.Closed())
                    return;
                if (line.rfind("EHLO", 0) == 0) {
                    peer.Send("250 scripted\r\n");
                } else if (line == "DATA") {
                    peer.Send("354 go\r\n");
                    const std::string data = peer.ReadData();
                    const auto at = data.find("Subject: Vendrel Delivery: ");
                    const std::string site = data.substr(at + 27, 2);
                    if (site == "S0")
                        std::this_thread::sleep_for(std::chrono::milliseconds(700));
                    {
                        std::lock_guard hold(lock);
                        finished.push_back(site);
                    }
                    peer.Send(site == "S3" ? "554 5.7.1 S3 is not wanted here\r\n" : "250 queued\r\n");
                } else if (line == "QUIT") {
                    peer.Send("221 bye\r\n");
                    return;
                } else {
                    peer.Send("250 ok\r\n");
                }
            }
        },
        3, true);
    host.Settings.Server.Port = smtp.Port();
    TPageServer web("127.0.0.2");
    for (int i = 0; i < 6; ++i) {
        web.SetBody("/p" + std::to_string(i), Page("p" + std::to_string(i)));
        AddSite("S" + std::to_string(i), web.Url("/p" + std::to_string(i)), -1);
    }
    monitor.CheckForSites();

    const auto log = Log();
    ASSERT_EQ(log.size(), 9u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[0], "t S0 processed, Delivering");
    EXPECT_EQ(log[1], "t S1 processed, Delivering");
    EXPECT_EQ(log[2], "t S2 processed, Delivering");
    EXPECT_EQ(log[3], "t S3 processed, Delivering");
    EXPECT_EQ(log[4].rfind("t Delivery error: ", 0), 0u) << log[4];
    EXPECT_NE(log[4].find("S3 is not wanted here"), std::string::npos) << log[4];
    EXPECT_EQ(log[5], "t Error processing S3: Web site delivery error");
    EXPECT_EQ(log[6], "t S4 processed, Delivering");
    EXPECT_EQ(log[7], "t S5 processed, Delivering");
    EXPECT_EQ(log[8], "");
    {
        std::lock_guard hold(lock);
        ASSERT_EQ(finished.size(), 6u);
        EXPECT_NE(finished.front(), "S0") << "the first mail was to finish last";
    }
    EXPECT_TRUE(FileExists(monitor.StoredPagePath("S0")));
    EXPECT_FALSE(FileExists(monitor.StoredPagePath("S3")));
    EXPECT_TRUE(FileExists(monitor.StoredPagePath("S5")));
    EXPECT_EQ(monitor.LastPass().Failed, 1);
    EXPECT_TRUE(host.AnimRunning);
}

// Stopped while two mails are on their way and later pages are still
// coming: the mails of the sites whose turn came are finished (and their
// pages stored), the fetches end, and nothing after the stop is mailed.
TEST_F(FetchPass, AStopWhileMailsAndPagesAreOnTheirWayFinishesTheMailsOnly)
{
    TPageServer fast("127.0.0.2"), slow("127.0.0.3");
    for (int i = 0; i < 5; ++i) {
        TPageServer& s = i < 2 ? fast : slow;
        s.SetBody("/p" + std::to_string(i), Page("p" + std::to_string(i)));
        AddSite("S" + std::to_string(i), s.Url("/p" + std::to_string(i)), -1);
    }
    slow.Hold();
    host.OnProcessMessages = [&] {
        if (host.Caption.find("Downloading Site 3 of 5") != std::string::npos && slow.Requests() >= 3)
            monitor.Flags.AbortRequested = true;
    };
    monitor.CheckForSites();
    host.OnProcessMessages = nullptr;
    slow.Release();

    EXPECT_EQ(Log(), (std::vector<std::string>{"t S0 processed, Delivering", "t S1 processed, Delivering",
                                               "t Error processing S2: Site Download Error"}));
    EXPECT_EQ(mail.Messages(), 2);
    EXPECT_TRUE(FileExists(monitor.StoredPagePath("S0")));
    EXPECT_TRUE(FileExists(monitor.StoredPagePath("S1")));
    EXPECT_FALSE(FileExists(monitor.StoredPagePath("S3")));
    EXPECT_FALSE(monitor.LastPass().RanToEnd);
}

// Error answers among pages that arrive in reverse order: each fails its own
// site in its place in the list, nothing of it is mailed or stored, and at
// the third pass the notices of the sites that keep failing come in list
// order too, through the pass's own sessions.
TEST_F(FetchPass, ErrorAnswersFailTheirSitesInListOrderAndTheThirdIsTold)
{
    TPageServer a("127.0.0.2"), b("127.0.0.3");
    constexpr int Sites = 6;
    for (int i = 0; i < Sites; ++i) {
        TPageServer::TPage page;
        page.Body = Page("site " + std::to_string(i));
        page.DelayMs = (Sites - i) * 60;
        if (i == 2) {
            page.Status = 503;
            page.Reason = "Service Unavailable";
            page.Body = "<html>Down for maintenance</html>";
        }
        // Site 4's page is not there: the server's own 404.
        if (i != 4)
            (i % 2 ? b : a).SetPage("/p" + std::to_string(i), page);
        AddSite("S" + std::to_string(i), (i % 2 ? b : a).Url("/p" + std::to_string(i)), -1);
    }
    WriteFile(monitor.StoredPagePath("S2"), "old two\r\n");
    WriteFile(monitor.StoredPagePath("S4"), "old four\r\n");

    auto expectedLog = [](bool told) {
        std::vector<std::string> lines{"t S0 processed, Delivering", "t S1 processed, Delivering",
                                       "t HTML download error: the server answered 503 Service Unavailable",
                                       "t Error processing S2: Site Download Error"};
        if (told)
            lines.push_back("t S2 has failed 3 checks in a row: the server answered 503 Service Unavailable");
        lines.insert(lines.end(), {"t S3 processed, Delivering", "t HTML download error: the server answered 404 Not Found",
                                   "t Error processing S4: Site Download Error"});
        if (told)
            lines.push_back("t S4 has failed 3 checks in a row: the server answered 404 Not Found");
        lines.insert(lines.end(), {"t S5 processed, Delivering", ""});
        return lines;
    };
    const std::vector<std::string> delivered{"Vendrel Delivery: S0", "Vendrel Delivery: S1", "Vendrel Delivery: S3",
                                             "Vendrel Delivery: S5"};
    std::size_t before = 0;
    for (int pass = 1; pass <= 3; ++pass) {
        host.Log.Clear();
        monitor.CheckForSites();
        EXPECT_EQ(Log(), expectedLog(pass == 3)) << "pass " << pass;
        auto subjects = Subjects();
        subjects.erase(subjects.begin(), subjects.begin() + static_cast<std::ptrdiff_t>(before));
        before += subjects.size();
        std::sort(subjects.begin(), subjects.end());
        std::vector<std::string> expected = delivered;
        if (pass == 3)
            expected.insert(expected.end(), {"Vendrel could not check S2", "Vendrel could not check S4"});
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(subjects, expected) << "pass " << pass;
        EXPECT_EQ(monitor.LastPass().Failed, 2);
        EXPECT_EQ(ReadFile(monitor.StoredPagePath("S2")), "old two\r\n");
        EXPECT_EQ(ReadFile(monitor.StoredPagePath("S4")), "old four\r\n");
        EXPECT_FALSE(FileExists(ValidatorsPath(monitor.StoredPagePath("S2"))));
    }
    ASSERT_EQ(host.TrayMessages.size(), 2u);
    EXPECT_EQ(host.TrayMessages[0].first, "Vendrel could not check S2");
    EXPECT_EQ(host.TrayMessages[1].second, "It has failed 3 checks in a row: the server answered 404 Not Found");
    for (const auto& m : mail.Received())
        EXPECT_EQ(m.find("Down for maintenance"), std::string::npos) << "an error page is never mailed";
    EXPECT_EQ(ReadSiteChecks(monitor.SiteChecksPath("S2")).Failures, 3);
    EXPECT_EQ(ReadSiteChecks(monitor.SiteChecksPath("S0")).Failures, 0);
    EXPECT_TRUE(ReadSiteChecks(monitor.SiteChecksPath("S0")).LastGood.has_value());
}

// The last site's mail is refused three passes in a row: its notice is
// handed over while the pass already waits for its sessions to end, and
// still goes out, its lines in the site's place.
TEST_F(FetchPass, ANoticeAfterThePassesLastMailStillGoesOut)
{
    TPageServer web("127.0.0.2");
    web.SetBody("/a", Page("a"));
    web.SetBody("/r", Page("r"));
    AddSite("Fine", web.Url("/a"), -1);
    AddSite("Refused", web.Url("/r"), -1);
    mail.RefuseData("Subject: Vendrel Delivery: Refused");
    for (int pass = 1; pass <= 3; ++pass) {
        host.Log.Clear();
        monitor.CheckForSites();
    }
    const std::string reason = "the mail could not be sent: 5.6.0 Message refused";
    EXPECT_EQ(Log(), (std::vector<std::string>{"t Fine processed, Delivering", "t Refused processed, Delivering",
                                               "t Delivery error: 5.6.0 Message refused",
                                               "t Error processing Refused: Web site delivery error",
                                               "t Refused has failed 3 checks in a row: " + reason, ""}));
    // The third pass's mails travel on separate sessions: the notice may
    // arrive before or after "Fine"'s.
    const auto subjects = Subjects();
    ASSERT_EQ(subjects.size(), 4u);
    const auto notice = std::find(subjects.begin(), subjects.end(), "Vendrel could not check Refused");
    ASSERT_NE(notice, subjects.end()) << ::testing::PrintToString(subjects);
    EXPECT_EQ(std::count(subjects.begin(), subjects.end(), "Vendrel Delivery: Fine"), 3);
    const std::string text = mail.Received()[static_cast<std::size_t>(notice - subjects.begin())];
    EXPECT_NE(text.find("Reason: " + reason + "\r\n"), std::string::npos);
    EXPECT_FALSE(monitor.Sending());
}
