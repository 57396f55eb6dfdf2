#include "engine/FetchCommon.h"

#include <stdexcept>

void EnsureCurl()
{
    static const bool ready = [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw std::runtime_error("Cannot initialise the HTTP client");
        return true;
    }();
    (void)ready;
}

void CheckCurl(CURLcode code)
{
    if (code != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(code));
}

namespace {

void Append(TCurlHeaders& headers, const std::string& line)
{
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown)
        throw std::runtime_error("Out of memory");
    headers.release();
    headers.reset(grown);
}

} // namespace

TCurlHeaders FetchHeaders(const std::string& etag, const std::string& lastModified)
{
    TCurlHeaders headers;
    for (const char* line : {"Accept: */*", "Pragma: no-cache", "Cache-Control: no-cache"})
        Append(headers, line);
    if (!etag.empty())
        Append(headers, "If-None-Match: " + etag);
    if (!lastModified.empty())
        Append(headers, "If-Modified-Since: " + lastModified);
    return headers;
}

void ConfigureFetch(CURL* h, const std::string& address, curl_slist* headers, long connectTimeoutSeconds,
                    long silenceTimeoutSeconds, char* errorText)
{
    // The address keeps its own scheme and port; only web addresses are
    // fetched, whatever a page or a redirect asks for.
    CheckCurl(curl_easy_setopt(h, CURLOPT_URL, address.c_str()));
    CheckCurl(curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "http"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_USERAGENT, "IExplorer"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_REFERER, "IExplorer"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers));
    CheckCurl(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds));
    CheckCurl(curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, silenceTimeoutSeconds));
    CheckCurl(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText));
}

bool QuietFailure(CURLcode code, std::int64_t count)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_GOT_NOTHING:
        return true;
    case CURLE_OPERATION_TIMEDOUT:
        return count == 0;
    default:
        return false;
    }
}

std::string DurationText(long seconds)
{
    if (seconds % 60 == 0)
        return std::to_string(seconds / 60) + (seconds == 60 ? " minute" : " minutes");
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string ResponseHeader(CURL* h, const char* name)
{
    curl_header* header = nullptr;
    if (curl_easy_header(h, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header || !header->value)
        return {};
    std::string value = header->value;
    // The value goes back to the server in a request line of its own: one
    // that could end that line, or that no server sends, is not kept.
    if (value.size() > 1024 || value.find_first_of("\r\n", 0) != std::string::npos)
        return {};
    for (const unsigned char c : value)
        if (c < 0x20 && c != '\t')
            return {};
    return value;
}
