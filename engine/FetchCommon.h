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

// The options every fetch of a page sets: the address with its own scheme
// and port, web schemes only (also for redirects), the agent and referrer,
// the stand-ins for the HTTP service's time-outs, and certificate checks.
void ConfigureFetch(CURL* h, const std::string& address, curl_slist* headers, long connectTimeoutSeconds,
                    long silenceTimeoutSeconds, char* errorText);

// Failures the user sees only as "Site Download Error": the server could not
// be reached or sent nothing.
bool QuietFailure(CURLcode code, std::int64_t count);

// "10 minutes", "90 seconds": the whole-fetch limit as the log names it.
std::string DurationText(long seconds);

// The value of one response header of the last response (after redirects);
// empty when absent or when it could not go back into a request unchanged.
std::string ResponseHeader(CURL* h, const char* name);
