#include "engine/PageWatch.h"

#include "delivery/DeliveryHost.h"
#include "engine/ChangeMeasure.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace {

std::string PcreMessage(int code)
{
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
        return "PCRE2 error " + std::to_string(code);
    return reinterpret_cast<const char*>(buffer);
}

pcre2_code* Compile(const std::string& pattern, std::string& error)
{
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), 0, &code,
                                         &offset, nullptr);
    if (!compiled)
        error = PcreMessage(code) + " at offset " + std::to_string(offset);
    return compiled;
}

std::string IgnoreErrorText(const std::string& pattern, const std::string& why)
{
    return "The text to ignore \"" + pattern + "\" is not a pattern Vendrel can use: " + why;
}

std::string WatchErrorText(const std::string& selector, const TSelectorError& error)
{
    return "The watched part \"" + selector + "\" is not a selector Vendrel understands: " + SelectorErrorText(error);
}

} // namespace

TPageWatch::TPageWatch(const TSiteOptions& options) : options_(options)
{
    if (!options.Watch.empty()) {
        TSelectorError error;
        if (!selector_.Parse(options.Watch, error))
            throw EWatchError(WatchErrorText(options.Watch, error));
        watching_ = true;
    }
    if (!options.Ignore.empty()) {
        std::string error;
        pcre2_code* code = Compile(options.Ignore, error);
        if (!code)
            throw EWatchError(IgnoreErrorText(options.Ignore, error));
        // Compiled to machine code where the platform allows; the match
        // limit holds either way.
        pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
        code_ = code;
        // The library's own match limit (ten million steps a search) is what
        // stops a pattern that backtracks without end.
        context_ = pcre2_match_context_create(nullptr);
    }
}

TPageWatch::~TPageWatch()
{
    pcre2_match_context_free(static_cast<pcre2_match_context*>(context_));
    pcre2_code_free(static_cast<pcre2_code*>(code_));
}

std::string TPageWatch::MeasuredText(std::string_view page, std::size_t* matched) const
{
    std::string watched;
    if (watching_)
        watched = selector_.SelectedText(page, matched);
    else if (matched)
        *matched = 0;
    const std::string_view text = watching_ ? std::string_view(watched) : page;
    if (!code_)
        return std::string(text);

    auto* code = static_cast<pcre2_code*>(code_);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    if (!data)
        throw EWatchError("Out of memory for the text to ignore");
    struct TFree {
        pcre2_match_data* d;
        ~TFree() { pcre2_match_data_free(d); }
    } freeData{data};

    // Each search has its own match limit; a pattern that finds thousands
    // of matches just under it would still take hours, so the whole page
    // has a time limit as well.
    const auto deadline = std::chrono::steady_clock::now() + TimeAllowed;
    std::string out;
    out.reserve(text.size());
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    std::size_t at = 0;
    while (at <= text.size()) {
        const int rc = pcre2_match(code, subject, text.size(), at, 0, data,
                                   static_cast<pcre2_match_context*>(context_));
        if (rc == PCRE2_ERROR_NOMATCH)
            break;
        if (rc < 0)
            throw EWatchError("The text to ignore \"" + options_.Ignore + "\" could not be searched for on the page: " +
                              PcreMessage(rc));
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        std::size_t start = ovector[0], end = ovector[1];
        // \K can put a match's start after its end.
        if (start > end)
            start = end;
        out.append(text.substr(at, start - at));
        if (end == start) {
            // An empty match takes nothing out: step over one byte.
            if (end < text.size())
                out += text[end];
            at = end + 1;
        } else {
            at = end;
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw EWatchError("The text to ignore \"" + options_.Ignore +
                              "\" took too long to search for on the page (more than " +
                              std::to_string(TimeAllowed.count() / 1000) + " seconds)");
    }
    if (at < text.size())
        out.append(text.substr(at));
    return out;
}

std::string TPageWatch::SelectorError(const std::string& selector)
{
    if (selector.empty())
        return {};
    TPageSelector parsed;
    TSelectorError error;
    return parsed.Parse(selector, error) ? std::string() : WatchErrorText(selector, error);
}

std::string TPageWatch::PatternError(const std::string& pattern)
{
    if (pattern.empty())
        return {};
    std::string error;
    pcre2_code* code = Compile(pattern, error);
    if (!code)
        return IgnoreErrorText(pattern, error);
    pcre2_code_free(code);
    return {};
}

bool WatchedPageUnchanged(TDeliveryHost& host, const std::string& name, const TSiteOptions* options,
                          std::string_view page, std::string_view stored, int threshold, std::string& valueText)
{
    if (!options || options->Empty())
        return PageUnchanged(page, stored, threshold, valueText);
    const TPageWatch watch(*options);
    std::size_t matched = 0;
    const std::string fresh = watch.MeasuredText(page, &matched);
    if (watch.Watching() && matched == 0) {
        host.AddToLog(name + ": nothing on the page matches the watched part \"" + options->Watch + "\"");
        throw EWatchError("The watched part of the page was not found");
    }
    const std::string kept = watch.MeasuredText(stored);
    // Everything ignored on both sides: nothing is left that could change.
    if (fresh.empty() && kept.empty()) {
        valueText = "0";
        return true;
    }
    return PageUnchanged(fresh, kept, threshold, valueText);
}
