#pragma once

// What the single download and the pass's overlapping fetches share: the
// client's set-up once per process, the request every fetch sends, and how
// an ended fetch is told apart into a quiet failure and one with a reason.

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

// libcurl wants its global set-up once per process, before any handle.
void EnsureCurl();

// Raises with the client's own text when an option cannot be set.
void CheckCurl(CURLcode code);

struct TCurlSlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using TCurlHeaders = std::unique_ptr<curl_slist, TCurlSlistDeleter>;

// The request's fixed header lines, plus the conditional ones when the
// stored copy has validators (the server's own values, never a local time).
TCurlHeaders FetchHeaders(const std::string& etag = {}, const std::string& lastModified = {});

// "Mozilla/5.0 (X11; Linux x86_64) Vendrel/VERSION": what pages are asked for
// as unless the "UserAgent" setting names something else. Sites turn away
// names they do not know with "browser not supported" pages.
std::string DefaultUserAgent();

// The "UserAgent" setting as it can go into a request: anything that could
// end the header line removed, and the default when that leaves nothing.
std::string UserAgentText(const std::string& setting);

// The options every fetch of a page sets: the address with its own scheme
// and port, web schemes only (also for redirects), HTTP/1.1, the agent (and
// no Referer: the request comes from no page), the stand-ins for the HTTP
// service's time-outs, certificate checks, and the reading of the answer's
// status line into answer.
struct TFetchAnswer;
void ConfigureFetch(CURL* h, const std::string& address, curl_slist* headers, const std::string& userAgent,
                    long connectTimeoutSeconds, long silenceTimeoutSeconds, char* errorText, TFetchAnswer* answer);

// A refusal meant for programs rather than for the page: 403, 429, or an
// answer carrying the "cf-mitigated" header of a bot challenge.
bool RefusesAutomatedAccess(long status, bool challenged);

// The final answer's status line as the headers arrive: each redirect and
// each interim answer starts a new one, so what is left when the body comes
// is the final answer's.
struct TFetchAnswer {
    long Status = 0;
    std::string Reason;
    bool Challenged = false;

    // An error answer (400 or above) or a refusal: its body is not the page.
    bool Failed() const { return Status >= 400 || RefusesAutomatedAccess(Status, Challenged); }
    // For the log after "HTML download error: ": "the server answered 503
    // Service Unavailable"; a challenge with a success status is told as the
    // refusal it is.
    std::string ErrorText() const;
    // For the user when the site keeps failing: the refusal named, otherwise
    // as the log has it.
    std::string FailureReason() const;
};

// Failures the user sees only as "Site Download Error": the server could not
// be reached or sent nothing.
bool QuietFailure(CURLcode code, std::int64_t count);

// "10 minutes", "90 seconds": the whole-fetch limit as the log names it.
std::string DurationText(long seconds);

// The value of one response header of the last response (after redirects);
// empty when absent or when it could not go back into a request unchanged.
std::string ResponseHeader(CURL* h, const char* name);
