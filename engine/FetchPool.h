#pragma once

// The pass's fetches, overlapping on one event loop: up to MaxFetches at
// once, at most MaxPerHost to one host and port, started in the order they
// were added, over one set of kept connections (a page after the first from
// a host asks on a connection already open; HTTP/2 where a TLS server offers
// it). Pages that arrive before the pass wants them are held, MaxAheadBytes
// in all; past that only the page the pass waits for is started. Nothing
// here runs on another thread: Pump does the network's work and returns.

#include "engine/PageValidators.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What one fetch came to.
struct TFetchedPage {
    // The server answered 304 to the stored copy's validators: the page is
    // the stored copy.
    bool NotModified = false;
    std::string Text;
    std::string ContentType;
    TPageValidators Validators;
    // A failure with a reason for the log ("HTML download error: " + it).
    std::string Error;
    // Why the fetch failed, in words for the user (the server's answer, the
    // client's error), also where the log says nothing; empty after a page
    // and after a cancelled fetch.
    std::string FailureReason;
    // Ended by CancelAll or Cancel.
    bool Cancelled = false;
};

// TLS sessions and name look-ups kept from one pass to the next.
class TFetchShare {
public:
    TFetchShare();
    ~TFetchShare();
    TFetchShare(const TFetchShare&) = delete;
    TFetchShare& operator=(const TFetchShare&) = delete;
    void* Handle() const { return share_; }

private:
    void* share_ = nullptr;
};

// A descriptor the pass waits on beside its fetches (its mail sessions),
// with the poll events it wants.
struct TWaitFd {
    int Fd = -1;
    short Events = 0;
};

struct TFetchLimits {
    std::int64_t MaxBodyBytes = std::int64_t{64} << 20;
    long ConnectTimeoutSeconds = 60;
    long SilenceTimeoutSeconds = 60;
    long WholeFetchSeconds = 600;
    // The "UserAgent" setting; empty asks under the program's own name.
    std::string UserAgent;
};

class TFetchPool {
public:
    static constexpr int MaxFetches = 32;
    static constexpr int MaxPerHost = 4;
    static constexpr std::int64_t MaxAheadBytes = std::int64_t{64} << 20;
    // Pages further ahead of the one the pass waits for are not started
    // yet: enough to keep every fetch busy, while a pass of small pages
    // holds a few megabytes, not all of them.
    static constexpr int MaxPagesAhead = 2 * MaxFetches;
    // Pages already arrived and waiting for their turn: past this no further
    // fetch starts (the one the pass waits for still does). Pages pile up
    // only when the pass is slower than the network (its mail sessions, or
    // its own work on a near server); then more pages ahead gain nothing and
    // only hold memory. Pages on their way count against MaxAheadBytes alone.
    static constexpr std::int64_t MaxArrivedBytes = std::int64_t{1} << 20;

    TFetchPool(const TFetchLimits& limits, TFetchShare* share);
    ~TFetchPool();
    TFetchPool(const TFetchPool&) = delete;
    TFetchPool& operator=(const TFetchPool&) = delete;

    // Queues a fetch and gives its number; validators make it conditional.
    int Add(const std::string& address, const TPageValidators& validators = {});
    // The fetch the pass waits for: started even past the memory limit.
    void SetWanted(int id) { wanted_ = id; }
    // Starts what may start, waits for the network (and for also, when any)
    // at most waitMs (0: not at all) and collects what ended.
    void Pump(int waitMs, const std::vector<TWaitFd>& also = {});
    bool Done(int id) const;
    // The result of an ended fetch; its memory is the caller's from now on.
    TFetchedPage Take(int id);
    // Ends one fetch, queued or running.
    void Cancel(int id);
    // Ends every fetch still queued or running.
    void CancelAll();

    // For the tests' eyes: fetches running now and the most at once so far.
    int Running() const { return running_; }
    int MostRunning() const { return mostRunning_; }
    // Bytes of pages held, arrived or arriving.
    std::int64_t HeldBytes() const { return heldBytes_; }

    // One fetch's state; its callbacks live beside the pool.
    struct TFetch;

private:
    void Start(TFetch& f);
    void Finish(TFetch& f, int code);
    void Detach(TFetch& f);
    void Admit();
    void Collect();
    void CheckDeadlines();

    TFetchLimits limits_;
    void* multi_ = nullptr;
    void* shareHandle_ = nullptr;
    std::vector<std::unique_ptr<TFetch>> fetches_;
    // Fetches not started yet, in the order they were added.
    std::deque<int> queued_;
    std::map<std::string, int> perHost_;
    int running_ = 0;
    int mostRunning_ = 0;
    int wanted_ = -1;
    std::int64_t heldBytes_ = 0;
    // Of those, the bytes of pages that have arrived and not been taken.
    std::int64_t arrivedBytes_ = 0;
};
