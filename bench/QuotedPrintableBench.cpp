// Quoted-printable throughput over page-like HTML, and the message writer's
// HTML part over the same page (which must stay linear in the page size).

#include "message/MessageWriter.h"
#include "message/NetEncoders.h"
#include "platform/Text.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

namespace {

constexpr std::size_t PageSize = 16u << 20;

class TRandom {
public:
    std::uint32_t Next()
    {
        FState ^= FState << 13;
        FState ^= FState >> 17;
        FState ^= FState << 5;
        return FState;
    }
    std::uint32_t Below(std::uint32_t n) { return Next() % n; }

private:
    std::uint32_t FState = 2463534242u;
};

// Markup, attributes with "=" and query strings, running text with some
// Latin-1 and UTF-8 bytes, indentation, CR LF line ends, and now and then a
// long minified line.
std::string MakeHtml(std::size_t size)
{
    static const char* const Words[] = {"the", "site", "changed", "news", "update", "price", "delivery",
                                        "weather", "report", "monday", "caf\xE9", "na\xC3\xAFve", "r\xC3\xA9sum\xC3\xA9",
                                        "information", "community", "download", "&amp;", "&nbsp;", "2024"};
    static const char* const Tags[] = {"p", "div", "span", "li", "td", "h2", "em", "strong"};
    static const char* const Classes[] = {"nav-item", "content", "footer", "col-md-6", "article-body", "btn btn-primary"};
    TRandom random;
    std::string html;
    html.reserve(size + 4096);
    html += "<!DOCTYPE html>\r\n<html lang=\"en\">\r\n<head>\r\n<meta charset=\"iso-8859-1\">\r\n"
            "<title>Vendrel test page</title>\r\n<link rel=\"stylesheet\" href=\"/css/site.css?v=3\">\r\n"
            "</head>\r\n<body>\r\n";
    auto words = [&](int count) {
        for (int i = 0; i < count; ++i) {
            if (i > 0)
                html += ' ';
            html += Words[random.Below(sizeof Words / sizeof *Words)];
        }
    };
    while (html.size() < size) {
        const std::uint32_t kind = random.Below(10);
        html.append(random.Below(4) * 2, ' ');
        if (kind < 4) {
            const char* tag = Tags[random.Below(sizeof Tags / sizeof *Tags)];
            html += '<';
            html += tag;
            html += " class=\"";
            html += Classes[random.Below(sizeof Classes / sizeof *Classes)];
            html += "\">";
            words(3 + static_cast<int>(random.Below(14)));
            html += "</";
            html += tag;
            html += '>';
        } else if (kind < 7) {
            html += "<a href=\"https://www.example.com/articles/view.php?id=";
            html += std::to_string(random.Below(100000));
            html += "&amp;lang=en\" title=\"";
            words(2);
            html += "\">";
            words(1 + static_cast<int>(random.Below(4)));
            html += "</a>";
        } else if (kind < 8) {
            html += "<img src=\"/images/photo";
            html += std::to_string(random.Below(1000));
            html += ".jpg\" width=\"320\" height=\"240\" alt=\"\">";
        } else if (kind < 9) {
            words(8 + static_cast<int>(random.Below(30)));
        } else {
            // Minified script or style: one long line.
            html += "<script>var cfg={a:1,b:\"x=y\",c:[1,2,3]};function f(n){return n*2;}";
            for (int i = 0, n = 5 + static_cast<int>(random.Below(40)); i < n; ++i)
                html += "if(x==" + std::to_string(i) + "){y+=1;}";
            html += "</script>";
        }
        html += "\r\n";
    }
    html += "</body>\r\n</html>\r\n";
    return html;
}

const std::string& Page()
{
    static const std::string page = MakeHtml(PageSize);
    return page;
}

class TCountingSink : public TNetLineSink {
public:
    void Write(std::string_view text) override { Bytes += text.size(); }
    void WriteLine(std::string_view text) override { Bytes += text.size() + 2; }
    std::size_t Bytes = 0;
};

void BM_QuotedPrintableHtml(benchmark::State& state)
{
    const std::string& page = Page();
    std::string out;
    for (auto _ : state) {
        out.clear();
        TNetEncoderQuotedPrintable::EncodeTo(page, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
    state.counters["output_ratio"] = static_cast<double>(out.size()) / static_cast<double>(page.size());
}
BENCHMARK(BM_QuotedPrintableHtml)->Unit(benchmark::kMillisecond);

// The HTML part as the writer sends it: line by line, dot doubling, soft
// break fix-up, chunked writes. Sizes 1, 4 and 16 MiB show it stays linear.
void BM_WriteHtmlPart(benchmark::State& state)
{
    const std::string& page = Page();
    TNetText part;
    part.SetContentType("text/html");
    part.SetContentTransfer("quoted-printable");
    part.Body = SplitLines(std::string_view(page).substr(0, static_cast<std::size_t>(state.range(0)) << 20));
    const std::size_t input = JoinedLength(part.Body);
    TNetMessageWriter writer;
    for (auto _ : state) {
        TCountingSink sink;
        writer.WriteTextPart(sink, part);
        benchmark::DoNotOptimize(sink.Bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input));
}
BENCHMARK(BM_WriteHtmlPart)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// A page without any line break: one 4 MiB body line.
void BM_WriteHtmlPartSingleLine(benchmark::State& state)
{
    std::string line = Page().substr(0, 4u << 20);
    for (auto& c : line)
        if (c == '\r' || c == '\n')
            c = ' ';
    TNetText part;
    part.SetContentType("text/html");
    part.Body = {line};
    TNetMessageWriter writer;
    for (auto _ : state) {
        TCountingSink sink;
        writer.WriteTextPart(sink, part);
        benchmark::DoNotOptimize(sink.Bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_WriteHtmlPartSingleLine)->Unit(benchmark::kMillisecond);

} // namespace
