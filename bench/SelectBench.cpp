// Selecting the watched part of a 1 MiB page, against the rewrite's scan of
// the same page: the selection must cost no more than the rewrite does.

#include <benchmark/benchmark.h>

#include <string>

#include "delivery/HtmlScanner.h"
#include "delivery/PageRewriter.h"
#include "delivery/PageSelector.h"
#include "engine/PageWatch.h"
#include "tests/support/RecordingHost.h"

namespace {

// About 1 MiB of a shop's listing: some 4000 products, each with a price.
std::string LargePage()
{
    std::string page = "<!DOCTYPE html><html><head><title>Kettles</title>\n"
                       "<link rel=\"stylesheet\" href=\"css/shop.css\"></head>\n<body>\n"
                       "<div id=\"banner\"><img src=\"ads/1.png\"> Served at 10:02</div>\n<ul class=\"products\">\n";
    int n = 0;
    while (page.size() < (1u << 20) - 400) {
        page += "<li class=\"product\" data-sku=\"k" + std::to_string(n) + "\"><h2><a href=\"p/" + std::to_string(n) +
                ".html\">Kettle " + std::to_string(n) + "</a></h2>\n<p>Brushed steel, 1.7 litres, rapid boil. "
                "<img src=\"img/" + std::to_string(n % 300) + ".jpg\" width=\"80\" height=\"60\"></p>\n"
                "<span class=\"price\">&pound;" + std::to_string(10 + n % 90) + ".99</span> "
                "<span class=\"stock\">In stock</span>\n";
        ++n;
    }
    page += "</ul></body></html>\n";
    return page;
}

void Select(benchmark::State& state, const char* selector)
{
    const std::string source = LargePage();
    TPageSelector s;
    TSelectorError error;
    if (!s.Parse(selector, error))
        state.SkipWithError(error.What.c_str());
    std::size_t count = 0;
    for (auto _ : state) {
        const std::string text = s.SelectedText(source, &count);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    state.counters["matched"] = static_cast<double>(count);
}

void BM_SelectById(benchmark::State& state) { Select(state, "#banner"); }
BENCHMARK(BM_SelectById)->Unit(benchmark::kMillisecond);

void BM_SelectEveryPrice(benchmark::State& state) { Select(state, "ul.products > li.product span.price"); }
BENCHMARK(BM_SelectEveryPrice)->Unit(benchmark::kMillisecond);

void BM_SelectList(benchmark::State& state)
{
    Select(state, "li[data-sku^=k1] .price, #banner, a[href$='7.html'], body > ul li h2 a");
}
BENCHMARK(BM_SelectList)->Unit(benchmark::kMillisecond);

// What the measure sees with both options: the watched part, then the
// pattern to ignore taken out of it.
void BM_WatchAndIgnore(benchmark::State& state)
{
    const std::string source = LargePage();
    const TPageWatch watch(TSiteOptions{".product", R"(In stock|Out of stock|\d+ left)"});
    for (auto _ : state) {
        const std::string text = watch.MeasuredText(source);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_WatchAndIgnore)->Unit(benchmark::kMillisecond);

// The rewrite of the same page, for comparison.
void BM_RewriteSamePage(benchmark::State& state)
{
    const std::string source = LargePage();
    TRecordingHost host;
    TPageRewriter rewriter(host, SystemClock());
    for (auto _ : state) {
        std::string page = source;
        if (!rewriter.RewritePage("http://shop.example/kettles/", page))
            state.SkipWithError("rewrite failed");
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_RewriteSamePage)->Unit(benchmark::kMillisecond);

} // namespace
