#pragma once

// An HTTP/1.1 server on a loopback address that serves many connections at
// once and keeps them open between requests, as a web server does: for the
// pass's overlapping fetches. Each page may carry validators (it answers a
// matching If-None-Match or If-Modified-Since with 304) and a delay before
// its answer. It counts what a test needs to see: requests, connections,
// requests in flight at once, and the headers each request carried.

#include "tests/support/LoopbackServers.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Requests in flight over several servers (hosts) at once.
struct TFlightCounter {
    std::atomic<int> Now{0};
    std::atomic<int> Most{0};
};

class TPageServer final : public TLoopbackServer {
public:
    struct TPage {
        std::string Body;
        std::string ETag;
        std::string LastModified;
        int DelayMs = 0;
        int Status = 200;
        std::string Reason = "Page";
    };
    struct TRequest {
        std::string Path;
        std::map<std::string, std::string> Headers; // names lower-cased
    };

    // address: a loopback address such as "127.0.0.1" or "127.0.0.7".
    explicit TPageServer(const std::string& address = "127.0.0.1", std::shared_ptr<TFlightCounter> all = nullptr);
    ~TPageServer() override;

    std::string Url(const std::string& path) const;
    void SetPage(const std::string& path, TPage page);
    void SetBody(const std::string& path, std::string body);

    int Requests() const { return requests_; }
    int MostInFlight() const { return mostInFlight_; }
    std::vector<TRequest> Log() const;
    // Answers wait until Release (for tests that need fetches held open).
    void Hold();
    void Release();

private:
    void Serve(int fd) override;

    std::string address_;
    std::shared_ptr<TFlightCounter> all_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    std::map<std::string, std::shared_ptr<const TPage>> pages_;
    std::vector<TRequest> log_;
    std::atomic<int> requests_{0};
    std::atomic<int> inFlight_{0};
    std::atomic<int> mostInFlight_{0};
};
