#include "engine/Download.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "platform/Text.h"
#include "platform/Utilities.h"

void SplitUrl(const std::string& address, std::string& host, std::string& path)
{
    std::string rest = address;
    if (LowerCase(rest).find("http://") != std::string::npos)
        rest.erase(0, 7);
    const auto slash = rest.find('/');
    if (slash != std::string::npos) {
        host = rest.substr(0, slash + 1);
        path = rest.substr(slash);
    } else {
        host = rest;
        path.clear();
    }
    if (!host.empty() && host.back() == '/')
        host.pop_back();
}

std::string DefaultUserAgent()
{
    return "Mozilla/5.0 (X11; Linux x86_64) Vendrel/" + GetProductVersion();
}

bool RefusesAutomatedAccess(long status, bool challenged)
{
    return status == 403 || status == 429 || challenged;
}

namespace {

// libcurl wants its global set-up once per process, before any handle.
void EnsureCurl()
{
    static const bool ready = [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw std::runtime_error("Cannot initialise the HTTP client");
        return true;
    }();
    (void)ready;
}

struct TEasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct TSlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// Owns the multi handle and the membership of the one easy handle in it, so
// that every way out of a fetch closes both, in that order.
class TMultiScope {
public:
    explicit TMultiScope(CURL* easy) : easy_(easy), multi_(curl_multi_init())
    {
        if (!multi_ || curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
            if (multi_)
                curl_multi_cleanup(multi_);
            throw std::runtime_error("Cannot start the HTTP request");
        }
    }
    ~TMultiScope()
    {
        curl_multi_remove_handle(multi_, easy_);
        curl_multi_cleanup(multi_);
    }
    TMultiScope(const TMultiScope&) = delete;
    TMultiScope& operator=(const TMultiScope&) = delete;
    CURLM* get() const { return multi_; }

private:
    CURL* easy_;
    CURLM* multi_;
};

struct TTransfer {
    TDeliveryHost* host = nullptr;
    TEngineFlags* flags = nullptr;
    const std::function<void(std::int64_t, std::int64_t)>* showProgress = nullptr;
    CURL* easy = nullptr;
    std::string* text = nullptr;
    std::int64_t count = 0;
    std::int64_t expected = -1;
    std::int64_t limit = 0;
    bool cancelled = false;
    bool tooLarge = false;
    // The last answer's status line: each redirect and each interim answer
    // starts a new one, so what is left at the body is the final answer's.
    long status = 0;
    std::string reason;
    bool challenged = false;
    // The final answer is an error; its body is not the page.
    bool errorAnswer = false;
};

// The longest reason phrase kept; a server may send anything there.
constexpr std::size_t MaxReasonLength = 120;

size_t ReceiveHeader(char* data, size_t size, size_t nmemb, void* user)
{
    auto& t = *static_cast<TTransfer*>(user);
    const size_t n = size * nmemb;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (StartsText("HTTP/", line)) {
        t.status = 0;
        t.reason.clear();
        t.challenged = false;
        // "HTTP/1.1 503 Service Unavailable"; HTTP/2 sends no reason phrase.
        const auto codeAt = line.find(' ');
        if (codeAt != std::string::npos) {
            const auto reasonAt = line.find(' ', codeAt + 1);
            t.status = StrToIntDef(line.substr(codeAt + 1, reasonAt == std::string::npos ? std::string::npos
                                                                                          : reasonAt - codeAt - 1),
                                   0);
            if (reasonAt != std::string::npos)
                t.reason = Trim(line.substr(reasonAt + 1)).substr(0, MaxReasonLength);
        }
    } else if (StartsText("cf-mitigated:", line)) {
        t.challenged = true;
    }
    return n;
}

bool ErrorAnswer(const TTransfer& t)
{
    return t.status >= 400 || RefusesAutomatedAccess(t.status, t.challenged);
}

// One block of the body. Events run after every block, so the block is also
// where a cancellation from the user interface takes effect.
size_t ReceiveBlock(char* data, size_t size, size_t nmemb, void* user)
{
    auto& t = *static_cast<TTransfer*>(user);
    const size_t n = size * nmemb;
    if (t.cancelled)
        return 0;
    // An error page is not read: it never becomes the page.
    if (ErrorAnswer(t)) {
        t.errorAnswer = true;
        return 0;
    }
    if (t.count + static_cast<std::int64_t>(n) > t.limit) {
        t.tooLarge = true;
        return 0;
    }
    if (t.expected < 0) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
            t.expected = length;
        // The announced length is only a hint; it never decides the result.
        if (t.expected > 0 && t.expected <= t.limit)
            t.text->reserve(static_cast<std::size_t>(t.expected));
    }
    t.text->append(data, n);
    t.count += static_cast<std::int64_t>(n);
    if (t.expected > 0 && *t.showProgress)
        (*t.showProgress)(t.count, t.expected);
    t.host->ProcessMessages();
    if (t.flags->AbortRequested) {
        t.cancelled = true;
        return 0;
    }
    return n;
}

// Failures the user sees only as "Site Download Error": the server could not
// be reached or sent nothing. An address the client cannot use (a blank in
// it, a scheme other than the web's) is the user's to mend, so its reason is
// logged.
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

// The setting's agent with anything that could end the header line removed;
// the default when that leaves nothing.
std::string UserAgentText(const std::string& setting)
{
    std::string agent;
    for (char c : setting)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            agent += c;
    agent = Trim(agent);
    return agent.empty() ? DefaultUserAgent() : agent;
}

void Check(CURLcode code)
{
    if (code != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(code));
}

} // namespace

TPageDownload::TPageDownload(TDeliveryHost& host, TEngineFlags& flags) : host_(host), flags_(flags) {}

bool TPageDownload::DownloadUrl(const std::string& address, std::string& text)
{
    if (flags_.DownloadBusy) {
        flags_.AbortRequested = true;
        return false;
    }
    flags_.DownloadBusy = true;
    FailureReason.clear();
    bool result = false;
    try {
        std::string host, path;
        SplitUrl(address, host, path);
        flags_.AbortRequested = false;
        EnsureCurl();

        std::unique_ptr<CURL, TEasyDeleter> easy(curl_easy_init());
        if (!easy)
            throw std::runtime_error("Cannot open the HTTP client");
        std::unique_ptr<curl_slist, TSlistDeleter> headers;
        for (const char* line : {"Accept: */*", "Pragma: no-cache", "Cache-Control: no-cache"}) {
            curl_slist* grown = curl_slist_append(headers.get(), line);
            if (!grown)
                throw std::runtime_error("Out of memory");
            headers.release();
            headers.reset(grown);
        }

        TTransfer t;
        t.host = &host_;
        t.flags = &flags_;
        t.showProgress = &ShowProgress;
        t.easy = easy.get();
        t.text = &text;
        t.limit = MaxBodyBytes;
        char errorText[CURL_ERROR_SIZE] = {};

        CURL* h = easy.get();
        // The address keeps its own scheme and port; only web addresses are
        // fetched, whatever a page or a redirect asks for.
        Check(curl_easy_setopt(h, CURLOPT_URL, address.c_str()));
        Check(curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "http"));
        Check(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
        Check(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
        Check(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
        Check(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
        // No Referer: the request comes from no page.
        const std::string agent = UserAgentText(UserAgent);
        Check(curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str()));
        Check(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()));
        Check(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L));
        Check(curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L));
        Check(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds));
        Check(curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L));
        Check(curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, SilenceTimeoutSeconds));
        Check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
        Check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
        Check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
        Check(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText));
        Check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &ReceiveBlock));
        Check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &t));
        Check(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &ReceiveHeader));
        Check(curl_easy_setopt(h, CURLOPT_HEADERDATA, &t));

        text.clear();
        ContentType.clear();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(WholeFetchSeconds);
        TMultiScope multi(h);
        CURLcode done = CURLE_OK;
        bool finished = false;
        while (!finished) {
            int running = 0;
            const CURLMcode mc = curl_multi_perform(multi.get(), &running);
            if (mc != CURLM_OK)
                throw std::runtime_error(curl_multi_strerror(mc));
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
                if (msg->msg == CURLMSG_DONE) {
                    done = msg->data.result;
                    finished = true;
                }
            }
            if (t.cancelled)
                break;
            if (finished || running == 0)
                break;
            // The silence limit lets a server that trickles a byte now and
            // then hold the pass, and the folder lock, for hours.
            if (std::chrono::steady_clock::now() >= deadline)
                throw std::runtime_error("the page took longer than " + DurationText(WholeFetchSeconds) +
                                         " to download");
            int ready = 0;
            curl_multi_poll(multi.get(), nullptr, 0, PollMilliseconds, &ready);
            host_.ProcessMessages();
            if (flags_.AbortRequested) {
                t.cancelled = true;
                break;
            }
        }

        if (t.cancelled) {
            result = false;
        } else if (t.errorAnswer || (done == CURLE_OK && ErrorAnswer(t))) {
            const std::string code = std::to_string(t.status);
            if (RefusesAutomatedAccess(t.status, t.challenged))
                FailureReason = "the site refused automated access (" + code + ")";
            // A challenge sent with a success status is no answer of the server's.
            if (t.status < 400)
                throw std::runtime_error(FailureReason);
            throw std::runtime_error("the server answered " + code + (t.reason.empty() ? "" : " " + t.reason));
        } else if (t.tooLarge) {
            throw std::runtime_error("the page is larger than " + std::to_string(MaxBodyBytes >> 20) + " MiB");
        } else if (done != CURLE_OK) {
            // A page cut short is no page: storing it would make the next
            // comparison measure against a fragment.
            const std::string why = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(done));
            if (!QuietFailure(done, t.count))
                throw std::runtime_error(why);
            FailureReason = why;
            result = false;
        } else {
            result = t.count > 0;
            if (!result)
                FailureReason = "the server sent an empty page";
            char* type = nullptr;
            if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
                ContentType = type;
        }
    } catch (const std::exception& e) {
        host_.AddToLog(std::string("HTML download error: ") + e.what());
        if (FailureReason.empty())
            FailureReason = e.what();
        result = false;
    }
    if (ProgressEnd)
        ProgressEnd();
    flags_.DownloadBusy = false;
    return result;
}

void TPageDownload::DownloadPage(const std::string& address, std::string& text)
{
    if (!DownloadUrl(address, text))
        text.clear();
}
