#include "engine/FetchPool.h"

#include "engine/FetchCommon.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

CURLM* Multi(void* m) { return static_cast<CURLM*>(m); }

// Host and port as the per-host limit counts them; an address the client
// cannot read counts as a host of its own (its fetch fails at once).
std::string HostKey(const std::string& address)
{
    CURLU* url = curl_url();
    if (!url)
        return address;
    std::string key = address;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(url, CURLUPART_URL, address.c_str(), CURLU_DEFAULT_SCHEME | CURLU_NON_SUPPORT_SCHEME) ==
            CURLUE_OK &&
        curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string lower = host;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        key = lower + ":" + port;
    }
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(url);
    return key;
}

} // namespace

TFetchShare::TFetchShare()
{
    EnsureCurl();
    CURLSH* share = curl_share_init();
    if (!share)
        return;
    // One thread uses it, so it needs no lock functions.
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    share_ = share;
}

TFetchShare::~TFetchShare()
{
    if (share_)
        curl_share_cleanup(static_cast<CURLSH*>(share_));
}

struct TFetchPool::TFetch {
    enum class TState { Queued, Running, Done, Taken };
    TState State = TState::Queued;
    std::string Address;
    std::string Host;
    TPageValidators Sent;
    CURL* Easy = nullptr;
    TCurlHeaders Headers;
    char ErrorText[CURL_ERROR_SIZE] = {};
    std::int64_t Count = 0;
    std::int64_t Limit = 0;
    bool TooLarge = false;
    TFetchAnswer Answer;
    // The final answer is an error; its body is not the page.
    bool ErrorAnswer = false;
    std::int64_t* Held = nullptr;
    // What it added to the pool's arrived bytes, given back when taken.
    std::int64_t Arrived = 0;
    std::chrono::steady_clock::time_point Deadline;
    TFetchedPage Result;
};

namespace {

size_t ReceiveInto(char* data, size_t size, size_t nmemb, void* user)
{
    auto& f = *static_cast<TFetchPool::TFetch*>(user);
    const size_t n = size * nmemb;
    // An error page is not read: it never becomes the page.
    if (f.Answer.Failed()) {
        f.ErrorAnswer = true;
        return 0;
    }
    if (f.Count + static_cast<std::int64_t>(n) > f.Limit) {
        f.TooLarge = true;
        return 0;
    }
    if (f.Result.Text.empty()) {
        curl_off_t length = -1;
        // The announced length is only a hint; it never decides the result.
        if (curl_easy_getinfo(f.Easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0 &&
            length <= f.Limit)
            f.Result.Text.reserve(static_cast<std::size_t>(length));
    }
    f.Result.Text.append(data, n);
    f.Count += static_cast<std::int64_t>(n);
    *f.Held += static_cast<std::int64_t>(n);
    return n;
}

} // namespace

TFetchPool::TFetchPool(const TFetchLimits& limits, TFetchShare* share) : limits_(limits)
{
    EnsureCurl();
    CURLM* multi = curl_multi_init();
    if (!multi)
        throw std::runtime_error("Cannot start the HTTP client");
    // The pool admits by its own rules; the client keeps within the per-host
    // one too. No cap on all connections here: the client counts idle ones
    // in it and would close a host's kept connection to open another's, so a
    // pass over more hosts than fetches at once would connect anew for
    // nearly every page. The cache keeps every host's connections instead.
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(MaxPerHost));
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 256L);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    multi_ = multi;
    shareHandle_ = share ? share->Handle() : nullptr;
}

TFetchPool::~TFetchPool()
{
    CancelAll();
    curl_multi_cleanup(Multi(multi_));
}

int TFetchPool::Add(const std::string& address, const TPageValidators& validators)
{
    auto f = std::make_unique<TFetch>();
    f->Address = address;
    f->Host = HostKey(address);
    f->Sent = validators;
    f->Limit = limits_.MaxBodyBytes;
    f->Held = &heldBytes_;
    const int id = static_cast<int>(fetches_.size());
    fetches_.push_back(std::move(f));
    queued_.push_back(id);
    return id;
}

void TFetchPool::Start(TFetch& f)
{
    f.State = TFetch::TState::Running;
    ++running_;
    mostRunning_ = std::max(mostRunning_, running_);
    ++perHost_[f.Host];
    f.Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits_.WholeFetchSeconds);
    try {
        f.Easy = curl_easy_init();
        if (!f.Easy)
            throw std::runtime_error("Cannot open the HTTP client");
        f.Headers = FetchHeaders(f.Sent.ETag, f.Sent.LastModified);
        CURL* h = f.Easy;
        ConfigureFetch(h, f.Address, f.Headers.get(), limits_.UserAgent, limits_.ConnectTimeoutSeconds,
                       limits_.SilenceTimeoutSeconds, f.ErrorText, &f.Answer);
        // HTTP/1.1 keeps the connection for the host's next page; TLS
        // servers that offer HTTP/2 carry the host's pages on one connection.
        CheckCurl(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)));
        // Over TLS the second page to a host waits to learn whether the
        // first connection carries HTTP/2; plain HTTP never does, and its
        // pages must not wait for one another.
        if (f.Address.size() > 8 && (f.Address.compare(0, 8, "https://") == 0 || f.Address.compare(0, 8, "HTTPS://") == 0))
            CheckCurl(curl_easy_setopt(h, CURLOPT_PIPEWAIT, 1L));
        if (shareHandle_)
            CheckCurl(curl_easy_setopt(h, CURLOPT_SHARE, static_cast<CURLSH*>(shareHandle_)));
        CheckCurl(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &ReceiveInto));
        CheckCurl(curl_easy_setopt(h, CURLOPT_WRITEDATA, &f));
        CheckCurl(curl_easy_setopt(h, CURLOPT_PRIVATE, &f));
        if (curl_multi_add_handle(Multi(multi_), h) != CURLM_OK)
            throw std::runtime_error("Cannot start the HTTP request");
    } catch (const std::exception& e) {
        f.Result.Error = e.what();
        Detach(f);
        f.State = TFetch::TState::Done;
    }
}

// Gives back the fetch's place among the running ones and its handle.
void TFetchPool::Detach(TFetch& f)
{
    if (f.State != TFetch::TState::Running)
        return;
    if (f.Easy) {
        curl_multi_remove_handle(Multi(multi_), f.Easy);
        curl_easy_cleanup(f.Easy);
        f.Easy = nullptr;
    }
    f.Headers.reset();
    --running_;
    if (--perHost_[f.Host] == 0)
        perHost_.erase(f.Host);
}

void TFetchPool::Finish(TFetch& f, int code)
{
    const auto done = static_cast<CURLcode>(code);
    TFetchedPage& r = f.Result;
    CURL* h = f.Easy;
    if (f.ErrorAnswer || (done == CURLE_OK && f.Answer.Failed())) {
        r.Error = f.Answer.ErrorText();
        r.FailureReason = f.Answer.FailureReason();
    } else if (f.TooLarge) {
        r.Error = "the page is larger than " + std::to_string(limits_.MaxBodyBytes >> 20) + " MiB";
    } else if (done != CURLE_OK) {
        // A page cut short is no page: storing it would make the next
        // comparison measure against a fragment.
        const std::string why = f.ErrorText[0] ? std::string(f.ErrorText) : std::string(curl_easy_strerror(done));
        if (!QuietFailure(done, f.Count))
            r.Error = why;
        // Not logged, but told when the site keeps failing.
        r.FailureReason = why;
    } else {
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        // Only an answer to our own question means "the page you have": a
        // 304 to a request that asked nothing is no page at all.
        r.NotModified = status == 304 && !f.Sent.Empty();
        char* type = nullptr;
        if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
            r.ContentType = type;
        r.Validators.ETag = ResponseHeader(h, "ETag");
        r.Validators.LastModified = ResponseHeader(h, "Last-Modified");
        // A 304 may leave either out; what it does not repeat still holds.
        if (r.NotModified) {
            if (r.Validators.ETag.empty())
                r.Validators.ETag = f.Sent.ETag;
            if (r.Validators.LastModified.empty())
                r.Validators.LastModified = f.Sent.LastModified;
            heldBytes_ -= static_cast<std::int64_t>(r.Text.size());
            r.Text.clear();
        }
    }
    if (r.FailureReason.empty())
        r.FailureReason = !r.Error.empty() ? r.Error
                          : !r.NotModified && f.Count == 0 ? "the server sent an empty page"
                                                            : std::string();
    if (!r.Error.empty() || (!r.NotModified && f.Count == 0)) {
        heldBytes_ -= static_cast<std::int64_t>(r.Text.size());
        r.Text.clear();
        r.Text.shrink_to_fit();
    }
    Detach(f);
    f.State = TFetch::TState::Done;
    f.Arrived = static_cast<std::int64_t>(r.Text.size());
    arrivedBytes_ += f.Arrived;
}

void TFetchPool::Admit()
{
    for (auto it = queued_.begin(); it != queued_.end() && running_ < MaxFetches;) {
        TFetch& f = *fetches_[static_cast<std::size_t>(*it)];
        const bool wanted = *it == wanted_;
        if (!wanted && (heldBytes_ >= MaxAheadBytes || arrivedBytes_ >= MaxArrivedBytes ||
                        (wanted_ >= 0 && *it > wanted_ + MaxPagesAhead)))
            break;
        const auto host = perHost_.find(f.Host);
        if (host != perHost_.end() && host->second >= MaxPerHost) {
            ++it;
            continue;
        }
        it = queued_.erase(it);
        Start(f);
    }
    // Past the memory limits the scan above stops at the first page ahead;
    // the page the pass waits for still starts.
    if (wanted_ >= 0 && (heldBytes_ >= MaxAheadBytes || arrivedBytes_ >= MaxArrivedBytes) && running_ < MaxFetches) {
        const auto it = std::find(queued_.begin(), queued_.end(), wanted_);
        if (it != queued_.end()) {
            TFetch& f = *fetches_[static_cast<std::size_t>(wanted_)];
            const auto host = perHost_.find(f.Host);
            if (host == perHost_.end() || host->second < MaxPerHost) {
                queued_.erase(it);
                Start(f);
            }
        }
    }
}

void TFetchPool::Collect()
{
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(Multi(multi_), &queued)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        TFetch* f = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &f);
        const CURLcode code = msg->data.result;
        if (f)
            Finish(*f, code);
    }
}

void TFetchPool::CheckDeadlines()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto& f : fetches_) {
        if (f->State != TFetch::TState::Running || now < f->Deadline)
            continue;
        // The silence limit lets a server that trickles a byte now and then
        // hold the pass, and the folder lock, for hours.
        heldBytes_ -= static_cast<std::int64_t>(f->Result.Text.size());
        f->Result.Text.clear();
        f->Result.Text.shrink_to_fit();
        f->Result.Error = "the page took longer than " + DurationText(limits_.WholeFetchSeconds) + " to download";
        Detach(*f);
        f->State = TFetch::TState::Done;
    }
}

void TFetchPool::Pump(int waitMs, const std::vector<TWaitFd>& also)
{
    Admit();
    int running = 0;
    CURLMcode mc = curl_multi_perform(Multi(multi_), &running);
    Collect();
    Admit();
    // Waits also with nothing to wait on, so that a caller looping until
    // something ends does not spin.
    if (waitMs > 0) {
        std::vector<curl_waitfd> extra;
        extra.reserve(also.size());
        for (const TWaitFd& fd : also)
            extra.push_back({fd.Fd, static_cast<short>(fd.Events), 0});
        int ready = 0;
        curl_multi_poll(Multi(multi_), extra.data(), static_cast<unsigned>(extra.size()), waitMs, &ready);
        mc = curl_multi_perform(Multi(multi_), &running);
        Collect();
    }
    if (mc != CURLM_OK) {
        // The client itself is broken: every running fetch fails with its reason.
        for (auto& f : fetches_)
            if (f->State == TFetch::TState::Running) {
                f->Result.Error = curl_multi_strerror(mc);
                Detach(*f);
                f->State = TFetch::TState::Done;
            }
    }
    CheckDeadlines();
    Admit();
}

bool TFetchPool::Done(int id) const
{
    const auto state = fetches_.at(static_cast<std::size_t>(id))->State;
    return state == TFetch::TState::Done || state == TFetch::TState::Taken;
}

TFetchedPage TFetchPool::Take(int id)
{
    TFetch& f = *fetches_.at(static_cast<std::size_t>(id));
    if (f.State != TFetch::TState::Done) {
        TFetchedPage none;
        none.Cancelled = true;
        return none;
    }
    f.State = TFetch::TState::Taken;
    heldBytes_ -= static_cast<std::int64_t>(f.Result.Text.size());
    arrivedBytes_ -= f.Arrived;
    TFetchedPage page = std::move(f.Result);
    f.Result = TFetchedPage{};
    return page;
}

void TFetchPool::Cancel(int id)
{
    TFetch& f = *fetches_.at(static_cast<std::size_t>(id));
    if (f.State == TFetch::TState::Queued)
        queued_.erase(std::find(queued_.begin(), queued_.end(), id));
    else if (f.State != TFetch::TState::Running)
        return;
    Detach(f);
    heldBytes_ -= static_cast<std::int64_t>(f.Result.Text.size());
    f.Result = TFetchedPage{};
    f.Result.Cancelled = true;
    f.State = TFetch::TState::Done;
}

void TFetchPool::CancelAll()
{
    for (std::size_t id = 0; id < fetches_.size(); ++id)
        if (fetches_[id]->State == TFetch::TState::Queued || fetches_[id]->State == TFetch::TState::Running)
            Cancel(static_cast<int>(id));
}
