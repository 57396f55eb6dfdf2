// Rewriting a large page: one parse and one replacement pass per page.

#include <benchmark/benchmark.h>

#include <string>

#include "delivery/HtmlTreeBuilder.h"
#include "delivery/PageRewriter.h"
#include "tests/support/RecordingHost.h"

namespace {

// About 1 MiB of a news site's front page with some 5000 relative addresses.
std::string LargePage()
{
    std::string page = "<html><head><title>Front page</title>\n"
                       "<link rel=\"stylesheet\" href=\"css/site.css\">\n"
                       "<script src=\"js/site.js\"></script></head>\n"
                       "<body background=\"img/back.gif\">\n";
    int n = 0;
    while (page.size() < (1u << 20) - 400) {
        page += "<div class=\"story\"><h2><a href=\"stories/" + std::to_string(n) + "/index.html\">Story number " +
                std::to_string(n) + "</a></h2>\n";
        page += "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt "
                "ut labore et dolore magna aliqua. <a href=\"../archive/";
        page += std::to_string(n % 97) + ".html\">Archive</a> <img src=\"img/thumb" + std::to_string(n % 500) +
                ".jpg\" width=\"80\" height=\"60\"></p></div>\n";
        page += "<p>Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris nisi ut aliquip ex ea "
                "commodo consequat. Duis aute irure dolor in reprehenderit in voluptate velit esse cillum dolore "
                "eu fugiat nulla pariatur.</p>\n";
        ++n;
    }
    page += "</body></html>\n";
    return page;
}

void BM_RewritePage(benchmark::State& state)
{
    const std::string source = LargePage();
    TRecordingHost host;
    TPageRewriter rewriter(host, SystemClock());
    std::size_t links = 0;
    for (auto _ : state) {
        std::string page = source;
        if (!rewriter.RewritePage("http://www.example.com/news/today/", page))
            state.SkipWithError("rewrite failed");
        links = rewriter.OriginalLinks.size();
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    state.counters["links"] = static_cast<double>(links);
    state.counters["page_bytes"] = static_cast<double>(source.size());
}
BENCHMARK(BM_RewritePage)->Unit(benchmark::kMillisecond);

// The parse alone, no handler bound: the floor under RewritePage.
void BM_ParseOnly(benchmark::State& state)
{
    const std::string source = LargePage();
    TDocParser parser;
    for (auto _ : state) {
        parser.Html = source;
        if (!parser.Execute())
            state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond);

// The replacement of the recorded pairs alone.
void BM_ReplaceQuotedLinks(benchmark::State& state)
{
    const std::string source = LargePage();
    TRecordingHost host;
    TPageRewriter rewriter(host, SystemClock());
    std::string page = source;
    rewriter.RewritePage("http://www.example.com/news/today/", page);
    const auto originals = rewriter.OriginalLinks;
    const auto absolutes = rewriter.AbsoluteLinks;
    for (auto _ : state) {
        page = source;
        ReplaceQuotedLinks(page, originals, absolutes);
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    state.counters["pairs"] = static_cast<double>(originals.size());
}
BENCHMARK(BM_ReplaceQuotedLinks)->Unit(benchmark::kMillisecond);

// The same page with an about:blank link and a link holding a quote, which
// used to send the replacement pair by pair over the whole page.
void BM_RewritePageAwkwardLinks(benchmark::State& state)
{
    std::string source = LargePage();
    source.insert(source.find("<body"), "<a href=\"about:blank\">x</a><a href='say\"hi\".html'>y</a>");
    TRecordingHost host;
    TPageRewriter rewriter(host, SystemClock());
    for (auto _ : state) {
        std::string page = source;
        if (!rewriter.RewritePage("http://www.example.com/news/today/", page))
            state.SkipWithError("rewrite failed");
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_RewritePageAwkwardLinks)->Unit(benchmark::kMillisecond);

// The tokenizer alone with a sink that only counts: its floor.
class TCountingSink : public THtmlSink {
public:
    std::size_t Tags = 0;
    void StartTag(const THtmlStartTag& t) override { Tags += t.Count + 1; }
    void EndTag(const THtmlEndTag&) override { ++Tags; }
    void Comment(std::size_t, std::size_t) override {}
    void Text(std::size_t, std::size_t) override {}
};

void BM_ScanOnly(benchmark::State& state)
{
    const std::string source = LargePage();
    THtmlTreeBuilder scanner;
    TCountingSink sink;
    for (auto _ : state) {
        scanner.Scan(source, sink);
        benchmark::DoNotOptimize(sink.Tags);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_ScanOnly)->Unit(benchmark::kMicrosecond);

} // namespace
