#pragma once

// The page download: one HTTP/1.1 GET per site, read block by block on the
// user-interface thread so that the window stays responsive. A second fetch
// while one runs cancels the running one and fails itself.

#include <cstdint>
#include <functional>
#include <string>

#include "delivery/DeliveryHost.h"
#include "engine/EngineFlags.h"

// Host and path of an address, the way the download has always cut it:
// "http://" removed when present, host up to the first "/", path from there.
void SplitUrl(const std::string& address, std::string& host, std::string& path);

class TPageDownload {
public:
    TPageDownload(TDeliveryHost& host, TEngineFlags& flags);

    // True when at least one byte was read and the fetch was not cancelled.
    bool DownloadUrl(const std::string& address, std::string& text);
    // Leaves text empty when the fetch fails.
    void DownloadPage(const std::string& address, std::string& text);

    // The Content-Type the server sent with the last page; empty when none.
    std::string ContentType;
    // The validators the server sent with the last page; empty when none.
    std::string ETag;
    std::string LastModified;
    // The User-Agent of the requests; empty asks under the program's own
    // name (DefaultUserAgent).
    std::string UserAgent;
    // Why the last fetch failed, in words for the user (the server's answer,
    // the client's error); empty after a page and after a cancelled fetch.
    std::string FailureReason;

    std::function<void(std::int64_t soFar, std::int64_t expected)> ShowProgress;
    std::function<void()> ProgressEnd;

    // A body beyond this ends the fetch as a failure instead of eating memory.
    std::int64_t MaxBodyBytes = std::int64_t{64} << 20;
    // Stand-ins for the HTTP service's own defaults.
    long ConnectTimeoutSeconds = 60;
    long SilenceTimeoutSeconds = 60;
    // The longest one whole fetch may take, however steadily bytes arrive.
    long WholeFetchSeconds = 600;
    // How long the loop waits for the network before it lets events run.
    int PollMilliseconds = 50;

private:
    TDeliveryHost& host_;
    TEngineFlags& flags_;
};
