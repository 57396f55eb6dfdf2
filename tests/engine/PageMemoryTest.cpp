// The heap a pass needs for a page of millions of empty lines: the page is
// kept whole, never as one string per line. Every allocation of this program
// is counted, so the figures are the heap's own, not an estimate.

#include "delivery/MailComposer.h"
#include "delivery/PageRewriter.h"
#include "engine/ChangeMeasure.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<std::size_t> Live{0};
std::atomic<std::size_t> Peak{0};

void* Counted(std::size_t size)
{
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    const std::size_t now = Live += malloc_usable_size(p);
    std::size_t peak = Peak;
    while (now > peak && !Peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void Uncounted(void* p) noexcept
{
    if (!p)
        return;
    Live -= malloc_usable_size(p);
    std::free(p);
}

// The heap's growth above what it held when the measure started.
class THeapPeak {
public:
    THeapPeak() : base_(Live) { Peak = base_; }
    std::size_t Growth() const { return Peak - base_; }

private:
    std::size_t base_;
};

constexpr std::size_t PageSize = 20'000'000;

std::string MB(std::size_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

TEST(PageMemory, MailingAPageOfLineBreaksStaysNearItsSize)
{
    TSmtpSink sink(false);
    TRecordingHost host;
    TMailComposer composer(host, SystemClock());
    TMailServerSettings server;
    server.Host = "127.0.0.1";
    server.Port = sink.Port();
    server.Logon = false;
    server.TimeOutSeconds = 60;
    const std::string page(PageSize, '\r');
    const THeapPeak peak;
    ASSERT_TRUE(composer.ComposeAndSend(server, "one@example.org", "s", page, "alt", true, nullptr, "me@example.org",
                                        false, false, true))
        << (host.Messages.empty() ? "" : host.Messages.front());
    EXPECT_EQ(sink.Messages(), 1);
    std::printf("heap growth mailing %s of CRs: %s\n", MB(PageSize).c_str(), MB(peak.Growth()).c_str());
    EXPECT_LT(peak.Growth(), 2 * PageSize);
}

TEST(PageMemory, MeasuringAndStoringAPageOfLineBreaksStaysNearItsSize)
{
    const std::string page(PageSize, '\r');
    const std::string stored = std::string(PageSize / 4, 'x') + "\r\n";
    const THeapPeak peak;
    // What a pass does with the fetched page: its stored form, then the
    // measure against the copy stored last time.
    const std::string text = CrLfLines(page);
    EXPECT_EQ(text.size(), 2 * PageSize);
    std::string value;
    EXPECT_FALSE(PageUnchanged(text, stored, 1, value));
    // 5000 * 5e6 / (40e6 + 5e6 + 2), rounded.
    EXPECT_EQ(value, "556");
    EXPECT_FALSE(PageUnchanged(text, stored, 0, value));
    std::printf("heap growth measuring %s of CRs: %s\n", MB(PageSize).c_str(), MB(peak.Growth()).c_str());
    EXPECT_LT(peak.Growth(), 8 * PageSize);
}

// A page whose every link grows by a long base: a few bytes of page make
// hundreds of bytes of mail.
std::string AmplifyingPage(std::size_t links)
{
    std::string page = "<html><head><base href=\"http://example.org/" + std::string(440, 'b')
                       + "/\"><title>t</title></head><body>\r\n";
    page.reserve(page.size() + links * 11 + 32);
    for (std::size_t i = 0; i < links; ++i)
        page += i % 8 == 7 ? "<a href=x>\n" : "<a href=x>";
    return page + "</body></html>\r\n";
}

constexpr std::size_t MiB = std::size_t{1} << 20;

TEST(PageMemory, APageThatWouldGrowBeyond64MiBFailsWithoutBeingBuilt)
{
    // 2 MiB of links against a 450-byte base would make about 90 MiB.
    TRecordingHost host;
    TPageRewriter rewriter(host, SystemClock());
    std::string page = AmplifyingPage(200'000);
    const std::string original = page;
    const THeapPeak peak;
    EXPECT_FALSE(rewriter.RewritePage("http://example.org/news/", page));
    rewriter.ForgetPage();
    std::printf("heap growth refusing %s that would grow by a base: %s\n", MB(original.size()).c_str(),
                MB(peak.Growth()).c_str());
    EXPECT_EQ(host.Messages, std::vector<std::string>{"HTML parsing error: the rewritten page would exceed 64 MiB"});
    EXPECT_TRUE(rewriter.LastTooLarge);
    EXPECT_EQ(page, original);
    // The page, the parser's copy and the links recorded up to the limit:
    // well below what the page would have grown to.
    EXPECT_LT(peak.Growth(), 160 * MiB);
}

TEST(PageMemory, AnAmplifiedPageBelowTheLimitIsMailedWithinTwoCopies)
{
    TSmtpSink sink(false);
    TRecordingHost host;
    TPageRewriter rewriter(host, SystemClock());
    TMailComposer composer(host, SystemClock());
    TMailServerSettings server;
    server.Host = "127.0.0.1";
    server.Port = sink.Port();
    server.TimeOutSeconds = 60;
    std::string page = AmplifyingPage(60'000);
    const THeapPeak peak;
    ASSERT_TRUE(rewriter.RewritePage("http://example.org/news/", page)) << host.Messages.front();
    rewriter.ForgetPage();
    const std::size_t rewritten = page.size();
    EXPECT_GT(rewritten, 25 * MiB);
    ASSERT_TRUE(composer.ComposeAndSend(server, "one@example.org", "s", page, "alt", true, nullptr, "me@example.org",
                                        false, false, true))
        << (host.Messages.empty() ? "" : host.Messages.front());
    EXPECT_EQ(sink.Messages(), 1);
    std::printf("heap growth rewriting and mailing a page of %s: %s\n", MB(rewritten).c_str(),
                MB(peak.Growth()).c_str());
    // The rewritten page beside the mail's copy of it, and the link lists
    // while the page is built: a small multiple of the mail, never the
    // dozens of copies of a page a pass once held.
    EXPECT_LT(peak.Growth(), 4 * rewritten);
}

} // namespace

void* operator new(std::size_t size) { return Counted(size); }
void* operator new[](std::size_t size) { return Counted(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Counted(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Uncounted(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Uncounted(p); }
