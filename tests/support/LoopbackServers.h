#pragma once

// Small, fast servers on 127.0.0.1 for the pipeline tests and benchmarks: an
// HTTP/1.0 server whose pages the test changes between passes, and an SMTP
// sink that accepts every message and keeps the last ones.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TLoopbackServer {
public:
    TLoopbackServer();
    virtual ~TLoopbackServer();
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;
    int Port() const { return port_; }
    // Connections accepted so far.
    int Connections() const { return connections_; }

protected:
    // address: a loopback address such as "127.0.0.1" or "127.0.0.7".
    void Start(const std::string& address = "127.0.0.1");
    void Stop();
    bool Stopping() const { return stopping_; }
    virtual void Serve(int fd) = 0;
    // Each connection on a thread of its own, as a mail server takes the
    // sessions of a pass side by side.
    bool concurrent_ = false;

private:
    void AcceptLoop();
    std::mutex peersLock_;
    std::vector<std::thread> peers_;
    std::vector<int> open_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class TLoopbackHttpServer final : public TLoopbackServer {
public:
    TLoopbackHttpServer() { Start(); }
    ~TLoopbackHttpServer() override { Stop(); }
    void SetPage(const std::string& path, std::string body, std::string contentType = "text/html");
    void RemovePage(const std::string& path);
    std::string Url(const std::string& path) const;
    int Requests() const { return requests_; }

private:
    void Serve(int fd) override;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const std::string>> pages_;
    std::map<std::string, std::string> types_;
    std::atomic<int> requests_{0};
};

class TSmtpSink final : public TLoopbackServer {
public:
    // pipelining: announces PIPELINING after EHLO (commands are answered in
    // order either way).
    explicit TSmtpSink(bool keepMessages = true, bool pipelining = false) : keep_(keepMessages), pipelining_(pipelining)
    {
        concurrent_ = true;
        Start();
    }
    ~TSmtpSink() override { Stop(); }
    int Messages() const { return messages_; }
    // The DATA of each message received, dot-stuffing still in place.
    std::vector<std::string> Received() const;
    // Recipients that get 550 at RCPT TO.
    void Refuse(const std::string& address);
    // Messages holding text get 554 after their data, and are not kept.
    void RefuseData(const std::string& text);

private:
    void Serve(int fd) override;
    bool keep_;
    bool pipelining_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::vector<std::string> refused_;
    std::vector<std::string> refusedData_;
    std::atomic<int> messages_{0};
};
