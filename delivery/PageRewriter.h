#pragma once

// Before a changed page is mailed, every address the parser reports in it is
// made absolute against the page's own address, so that the mail shows the
// page as it looks on the web. Images are not fetched; the mail refers to them.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/DeliveryHost.h"
#include "delivery/DocParser.h"

// The absolute form of link against base: RFC 3986 resolution with unsafe
// characters escaped. Gives link unchanged when base is empty, when link is
// already absolute, or when the result would exceed 500 characters.
std::string MakeAbsoluteUrl(const std::string& base, const std::string& link);

// A base address split once, for resolving many links against it the way
// MakeAbsoluteUrl does: a page holds thousands of them.
class TUrlResolver {
public:
    explicit TUrlResolver(std::string_view base = {});

    const std::string& Base() const { return base_; }
    // The absolute form of link into out; false where MakeAbsoluteUrl gives
    // the link unchanged, and then out holds nothing of use.
    bool Resolve(std::string_view link, std::string& out);

private:
    bool ResolvePlainPath(std::string_view link, std::string& out, bool& resolved) const;

    std::string base_;
    bool usable_ = false;
    std::string scheme_;        // the base's scheme with its colon, escaped
    std::string origin_;        // scheme_ and the base's authority, escaped
    bool baseHasAuthority_ = false;
    std::string basePath_;      // as written
    bool baseHasQuery_ = false;
    std::string baseQuery_;     // as written
    std::string baseDirectory_; // what a relative path is appended to
    // origin_ and baseDirectory_ escaped, when that is a path with no dot
    // segments: then a plain relative path is appended to it without merging.
    std::string plainDirectory_;
    std::string merged_, path_; // scratch, kept for their capacity
};

class TPageRewriter : private TAddressSink {
public:
    // The clock measures the parser's runs against their time limit.
    TPageRewriter(TDeliveryHost& host, const TClock& clock);
    TPageRewriter(const TPageRewriter&) = delete;
    TPageRewriter& operator=(const TPageRewriter&) = delete;

    // Rewrites page in place; false after a parsing failure, which is logged.
    bool RewritePage(const std::string& siteAddress, std::string& page);
    void RecordLink(const std::string& link);
    // Frees the link lists of the last rewrite, once the page is mailed
    // from: an amplified page's links take as much room as the page.
    void ForgetPage();

    std::string BaseUrl;
    std::vector<std::string> OriginalLinks;
    std::vector<std::string> AbsoluteLinks;
    TDocParser docparse;

    // The pause before the one retry of a failed parse; replaceable in tests.
    std::function<void(int milliseconds)> Wait;

    // The largest page a rewrite may make, as large as a download may be: a
    // short page with a long <base> and many relative links would otherwise
    // grow by the base at every link, to gigabytes.
    std::size_t MaxPageBytes = std::size_t{64} << 20;
    // Why the last RewritePage failed, as its log line gave it; empty after
    // a success.
    std::string LastError;
    // The last RewritePage failed because the page would grow beyond
    // MaxPageBytes.
    bool LastTooLarge = false;

private:
    struct TPlacedLink {
        TSourceSpan At;
        std::size_t Pair; // in OriginalLinks and AbsoluteLinks
    };
    struct TReportedLink {
        std::size_t TextAt, TextLength; // in reportedText_
        TSourceSpan At;
    };

    void RecordLinkAt(std::string_view link, const TSourceSpan& at);
    void Resolve(std::string_view link, const TSourceSpan& at);
    // The parser's events, each with the one address it carries.
    void Address(TAddressEvent event, const std::string& address, const TSourceSpan& at) override;
    void docparseBase(const std::string& hRef);
    void docparseAnchor(const std::string& hRef, const TSourceSpan& at);
    void docparseImage(const std::string& source, const TSourceSpan& at);
    void docparseBody(const std::string& background, const TSourceSpan& at);
    void docparseScript(const std::string& source, const TSourceSpan& at);
    void docparseOtherLinkedItem(const std::string& hRef, const TSourceSpan& at);
    void RewritePlacedLinks(std::string& page) const;
    [[noreturn]] void TooLarge() const;
    // Before each run of the parser: nothing recorded, the page's own
    // address as the base.
    void ForgetLinks();

    TDeliveryHost& host_;
    // Recorded addresses with their place in the page: each is rewritten
    // there, in whatever quoting the page uses.
    std::vector<TPlacedLink> placed_;
    // Every address reported so far, for resolving them again when the page
    // names its own base after some of them.
    std::vector<TReportedLink> reported_;
    std::string reportedText_;
    TUrlResolver resolver_;
    std::string absolute_; // scratch of Resolve
    std::string siteAddress_;
    bool baseSeen_ = false;
    std::size_t pageSize_ = 0;
    // The page's size once the links placed so far are rewritten: what the
    // link lists may grow to is bounded with it, before any copy is made.
    std::size_t expectedSize_ = 0;
};

// Replaces, for each index in order, every '"' + originals[i] + '"' in text by
// '"' + absolutes[i] + '"', ignoring letter case, each pair working on the
// text the previous pairs left. One pass over the text: pairs whose original
// is empty or holds a double quote, or whose absolute form holds one, take no
// part (the rewriting never records such a pair for the copies: it rewrites
// those links at their place).
// Raises ERewriteTooLarge rather than make a text longer than maxBytes.
void ReplaceQuotedLinks(std::string& text, const std::vector<std::string>& originals,
                        const std::vector<std::string>& absolutes, std::size_t maxBytes = SIZE_MAX);

// A rewrite that would make the page larger than it may be.
class ERewriteTooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
