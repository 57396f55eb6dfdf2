// What telling the changes costs on a 1 MiB page with 1% and 50% of its
// blocks changed, on a first delivery and when it gives up: the diff and
// the marks alone, and a whole single-site send (download, rewrite, marks,
// composition, SMTP to a loopback sink, store) with the setting off and on,
// to hold against the pass without it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "delivery/ChangeMarks.h"
#include "engine/HeadlessHost.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "platform/Memory.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/TempDataFolder.h"

namespace {

// About 1 MiB of a news page: headings, paragraphs, lists and links, each
// block with text of its own. changedPercent of the blocks read otherwise.
std::string Page(int changedPercent, unsigned seed)
{
    static const char* words[] = {"market", "report", "weather", "council", "river", "station", "museum",
                                  "season", "budget", "school", "harbour", "festival", "bridge", "library",
                                  "garden", "tunnel", "concert", "election", "airport", "forest"};
    std::mt19937 layout(1);
    std::mt19937 change(seed);
    std::string page = "<!DOCTYPE html><html><head><title>Front page</title>"
                       "<link rel=\"stylesheet\" href=\"css/site.css\"><script src=\"js/site.js\"></script></head>\n"
                       "<body>\n";
    int block = 0;
    auto text = [&](int words_) {
        const bool changed = static_cast<int>(change() % 100) < changedPercent;
        std::string t = changed ? "Updated " : "";
        t += "story " + std::to_string(block++);
        for (int w = 0; w < words_; ++w) {
            t += ' ';
            t += words[layout() % 20];
        }
        return t;
    };
    while (page.size() < (1u << 20) - 300) {
        page += "<div class=\"story\"><h2><a href=\"stories/" + std::to_string(block) + ".html\">" + text(4) +
                "</a></h2>\n<p>" + text(30) + " <a href=\"more/" + std::to_string(block) + ".html\">more</a></p>\n";
        page += "<ul><li>" + text(6) + "</li><li>" + text(6) + "</li></ul></div>\n";
    }
    return page + "</body></html>\n";
}

// Argument: the share of blocks changed; -1: a first delivery (no stored
// copy); -2: half the blocks changed and a budget too small for them, so
// that what is left is the cost of giving up.
void BM_DiffAndMarks(benchmark::State& state)
{
    // As both programs run their passes.
    KeepFreedMemoryDuringPasses();
    const int argument = static_cast<int>(state.range(0));
    const int percent = argument == -2 ? 50 : std::max(argument, 0);
    const std::string stored = Page(0, 1);
    const std::string fresh = Page(percent, 2);
    TChangeMarking how;
    how.SiteName = "News";
    how.Since = "2026-12-01 07:00";
    how.Budget = std::chrono::milliseconds(argument == -2 ? 1 : 60000);
    long changes = 0;
    for (auto _ : state) {
        std::string page = fresh;
        const TChangeSummary summary = MarkPageChanges(page, argument == -1 ? nullptr : &stored, how);
        if (summary.TooMany != (argument == -2))
            state.SkipWithError(summary.TooMany ? "past the budget" : "within the budget");
        changes = summary.Changes;
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fresh.size()));
    state.counters["changes"] = static_cast<double>(changes);
    state.counters["page_bytes"] = static_cast<double>(fresh.size());
}
BENCHMARK(BM_DiffAndMarks)->Arg(1)->Arg(50)->Arg(-1)->Arg(-2)->Unit(benchmark::kMillisecond);

// One send of a 1 MiB page against a stored copy that differs in the given
// share of its blocks (state.range(1)), with the setting off or on
// (state.range(0)); a share of -1: a first delivery, the copy taken away
// before each send.
void BM_SendOneMiBPage(benchmark::State& state)
{
    KeepFreedMemoryDuringPasses();
    const bool marks = state.range(0) > 0;
    const bool first = state.range(1) < 0;
    const int percent = first ? 1 : static_cast<int>(state.range(1));
    TTempDataFolder tmp(TDesktopHome::Untouched);
    TLoopbackHttpServer http;
    TSmtpSink smtp(false);
    TSystemClock clock;
    THeadlessHost host(clock);
    host.Settings.DestEmail = "me@example.org";
    host.Settings.ActiveNetConnection = false;
    host.Settings.Server.Host = "127.0.0.1";
    host.Settings.Server.Port = smtp.Port();
    host.Settings.MarkChanges = marks;
    host.SiteList.Add(MakeSiteEntry("News", http.Url("/n"), -1), true);
    TSiteMonitor monitor(host, clock, tmp.DataFolder());
    const std::string pages[2] = {Page(0, 1), Page(percent, 2)};
    http.SetPage("/n", pages[0]);
    monitor.SendSiteOfIndex(0, false);
    int turn = 1;
    for (auto _ : state) {
        state.PauseTiming();
        http.SetPage("/n", pages[turn]);
        turn ^= 1;
        if (first)
            std::remove(monitor.StoredPagePath("News").c_str());
        state.ResumeTiming();
        if (!monitor.SendSiteOfIndex(0, false))
            state.SkipWithError("send failed");
    }
    state.counters["page_bytes"] = static_cast<double>(pages[1].size());
}
BENCHMARK(BM_SendOneMiBPage)
    ->ArgNames({"marks", "changed"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({1, 50})
    ->Args({0, -1})
    ->Args({1, -1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
