#pragma once

// What the change measure sees of a page when its site watches only part of
// it or ignores some text: the watched part's elements (each followed by
// CR LF, in document order), then every match of the pattern to ignore taken
// out. The same applies to the stored copy, so like is compared with like;
// the stored copy and the mail stay whole.

#include "delivery/PageSelector.h"
#include "engine/SiteOptions.h"

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

class TDeliveryHost;

// A site's options cannot be used on its page; the message says why.
class EWatchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TPageWatch {
public:
    // Compiles both; raises EWatchError when either is not understood.
    explicit TPageWatch(const TSiteOptions& options);
    ~TPageWatch();
    TPageWatch(const TPageWatch&) = delete;
    TPageWatch& operator=(const TPageWatch&) = delete;

    bool Active() const { return watching_ || code_ != nullptr; }
    bool Watching() const { return watching_; }
    const TSiteOptions& Options() const { return options_; }

    // The text the measure sees. matched, when given, gets the number of
    // elements the watched part matched. Raises EWatchError when the
    // pattern to ignore reaches PCRE2's match limit or runs past the time
    // allowed for one page.
    std::string MeasuredText(std::string_view page, std::size_t* matched = nullptr) const;

    // Every pattern of one page together gets this long at most.
    std::chrono::milliseconds TimeAllowed{10000};

    // Why the editor refuses a value; empty when it can be used.
    static std::string SelectorError(const std::string& selector);
    static std::string PatternError(const std::string& pattern);

private:
    TSiteOptions options_;
    TPageSelector selector_;
    bool watching_ = false;
    void* code_ = nullptr;    // pcre2_code_8
    void* context_ = nullptr; // pcre2_match_context_8
};

// The pipeline's measure for a site with a stored copy: as PageUnchanged,
// on what the site's options leave of both texts. A watched part that
// matches nothing on the new page is logged under the site's name and
// raises EWatchError; so do options that cannot be used.
bool WatchedPageUnchanged(TDeliveryHost& host, const std::string& name, const TSiteOptions* options,
                          std::string_view page, std::string_view stored, int threshold, std::string& valueText);
