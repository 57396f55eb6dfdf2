#include "engine/Download.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "engine/FetchCommon.h"
#include "platform/Text.h"

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

namespace {

struct TEasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
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
    TFetchAnswer answer;
    // The final answer is an error; its body is not the page.
    bool errorAnswer = false;
};

// One block of the body. Events run after every block, so the block is also
// where a cancellation from the user interface takes effect.
size_t ReceiveBlock(char* data, size_t size, size_t nmemb, void* user)
{
    auto& t = *static_cast<TTransfer*>(user);
    const size_t n = size * nmemb;
    if (t.cancelled)
        return 0;
    // An error page is not read: it never becomes the page.
    if (t.answer.Failed()) {
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
        const TCurlHeaders headers = FetchHeaders();

        TTransfer t;
        t.host = &host_;
        t.flags = &flags_;
        t.showProgress = &ShowProgress;
        t.easy = easy.get();
        t.text = &text;
        t.limit = MaxBodyBytes;
        char errorText[CURL_ERROR_SIZE] = {};

        CURL* h = easy.get();
        ConfigureFetch(h, address, headers.get(), UserAgent, ConnectTimeoutSeconds, SilenceTimeoutSeconds, errorText,
                       &t.answer);
        CheckCurl(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &ReceiveBlock));
        CheckCurl(curl_easy_setopt(h, CURLOPT_WRITEDATA, &t));

        text.clear();
        ContentType.clear();
        ETag.clear();
        LastModified.clear();
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
        } else if (t.errorAnswer || (done == CURLE_OK && t.answer.Failed())) {
            FailureReason = t.answer.FailureReason();
            throw std::runtime_error(t.answer.ErrorText());
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
            ETag = ResponseHeader(h, "ETag");
            LastModified = ResponseHeader(h, "Last-Modified");
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
