#pragma once

// A loopback SMTP server for the benchmarks: it answers the dialogue and
// throws every message away. The plain sink serves one connection after
// another on its own thread; the benchmarks' own sinks change how the bytes
// travel (TLS) or when the replies leave (a slow server) through the hooks.

#include "platform/Text.h"

#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class TSMTPSinkBase {
public:
    virtual ~TSMTPSinkBase();
    TSMTPSinkBase(const TSMTPSinkBase&) = delete;
    TSMTPSinkBase& operator=(const TSMTPSinkBase&) = delete;

    int Port() const { return port_; }

protected:
    // Listens on a free loopback port; each connection gets a thread of its
    // own when threadPerConnection is set.
    explicit TSMTPSinkBase(bool threadPerConnection = false);
    // The hooks are virtual: the most derived sink starts serving at the end
    // of its constructor and stops at the start of its destructor.
    void StartServing();
    void StopServing();

    // Before the greeting and after the last reply; false ends the connection.
    virtual bool Begin(int) { return true; }
    virtual void End(int) {}
    // The EHLO reply, all its lines.
    virtual std::string EhloReply() const { return "250-sink\r\n250 8BITMIME\r\n"; }
    // After "220" to STARTTLS has gone; false ends the connection.
    virtual bool StartTLS(int) { return false; }
    // Sends the replies gathered so far (and empties them); runs whenever the
    // sink is about to wait for more input.
    virtual void Flush(int s, std::string& replies);
    virtual void Send(int s, std::string_view text);
    virtual int Receive(int s, char* buffer, int length);

private:
    void Run();
    void Serve(int s);

    bool threadPerConnection_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> peers_;
};

class TSMTPSink final : public TSMTPSinkBase {
public:
    TSMTPSink() { StartServing(); }
    ~TSMTPSink() override { StopServing(); }
};

// A page of table rows of about this many bytes, with an 8-bit character in
// every line and, every 50th line, a leading dot and trailing blanks.
TLines TableRowsPage(std::size_t bytes);
