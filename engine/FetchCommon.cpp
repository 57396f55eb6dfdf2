#include "engine/FetchCommon.h"

#include "platform/Text.h"
#include "platform/Utilities.h"

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

std::string DefaultUserAgent()
{
    return "Mozilla/5.0 (X11; Linux x86_64) Vendrel/" + GetProductVersion();
}

std::string UserAgentText(const std::string& setting)
{
    std::string agent;
    for (char c : setting)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            agent += c;
    agent = Trim(agent);
    return agent.empty() ? DefaultUserAgent() : agent;
}

bool RefusesAutomatedAccess(long status, bool challenged)
{
    return status == 403 || status == 429 || challenged;
}

std::string TFetchAnswer::ErrorText() const
{
    // A challenge sent with a success status is no answer of the server's.
    if (Status < 400 && Challenged)
        return FailureReason();
    return "the server answered " + std::to_string(Status) + (Reason.empty() ? "" : " " + Reason);
}

std::string TFetchAnswer::FailureReason() const
{
    if (RefusesAutomatedAccess(Status, Challenged))
        return "the site refused automated access (" + std::to_string(Status) + ")";
    return ErrorText();
}

namespace {

// The longest reason phrase kept; a server may send anything there.
constexpr std::size_t MaxReasonLength = 120;

size_t ReceiveAnswerHeader(char* data, size_t size, size_t nmemb, void* user)
{
    auto& answer = *static_cast<TFetchAnswer*>(user);
    const size_t n = size * nmemb;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (StartsText("HTTP/", line)) {
        answer = TFetchAnswer{};
        // "HTTP/1.1 503 Service Unavailable"; HTTP/2 sends no reason phrase.
        const auto codeAt = line.find(' ');
        if (codeAt != std::string::npos) {
            const auto reasonAt = line.find(' ', codeAt + 1);
            const std::string code =
                line.substr(codeAt + 1, reasonAt == std::string::npos ? std::string::npos : reasonAt - codeAt - 1);
            answer.Status = code.size() == 3 ? StrToIntDef(code, 0) : 0;
            if (reasonAt != std::string::npos) {
                // Only printable ASCII reaches the log and the notice: the
                // phrase is the server's to choose.
                std::string reason;
                for (const unsigned char c : line.substr(reasonAt + 1))
                    reason += c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
                answer.Reason = Trim(reason).substr(0, MaxReasonLength);
            }
        }
    } else if (StartsText("cf-mitigated:", line)) {
        answer.Challenged = true;
    }
    return n;
}

} // namespace

void ConfigureFetch(CURL* h, const std::string& address, curl_slist* headers, const std::string& userAgent,
                    long connectTimeoutSeconds, long silenceTimeoutSeconds, char* errorText, TFetchAnswer* answer)
{
    // The address keeps its own scheme and port; only web addresses are
    // fetched, whatever a page or a redirect asks for.
    CheckCurl(curl_easy_setopt(h, CURLOPT_URL, address.c_str()));
    CheckCurl(curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "http"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    CheckCurl(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
    CheckCurl(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
    CheckCurl(curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgentText(userAgent).c_str()));
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
    if (answer) {
        CheckCurl(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &ReceiveAnswerHeader));
        CheckCurl(curl_easy_setopt(h, CURLOPT_HEADERDATA, answer));
    }
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
