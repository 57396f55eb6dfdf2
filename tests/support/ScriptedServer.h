#pragma once

// A scripted TCP server on 127.0.0.1 for the transport's tests. It listens on
// a free port, accepts connections one after another and runs the test's
// script for each on its own thread; the script reads and answers through a
// TScriptedPeer, which records every line the client sent.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class TScriptedPeer {
public:
    explicit TScriptedPeer(int socket) : socket_(socket) {}
    ~TScriptedPeer();

    // The next line the client sent, without CR LF; empty with Closed() set
    // when the client closed or nothing came within the time-out.
    std::string ReadLine(int timeoutMs = 10000);
    // Everything up to and including a line holding only ".", for message data.
    std::string ReadData(int timeoutMs = 10000);
    // True when the client sends nothing more within timeoutMs: what a test
    // checks before it answers a command that must come alone.
    bool Quiet(int timeoutMs);
    void Send(std::string_view bytes);
    void Close();
    // Waits until the client has closed its end; false after the time-out.
    bool WaitForClose(int timeoutMs = 10000);
    bool Closed() const { return closed_; }
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    bool Fill(int timeoutMs);

    int socket_;
    bool closed_ = false;
    std::string pending_;
    std::vector<std::string> lines_;
};

class TScriptedServer {
public:
    using TScript = std::function<void(TScriptedPeer&)>;

    // Serves `connections` connections with the script, in order; with
    // concurrent, each on a thread of its own as soon as it arrives.
    explicit TScriptedServer(TScript script, int connections = 1, bool concurrent = false);
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    int Port() const { return port_; }
    // Waits for the scripts to end; the lines every connection sent, in order.
    std::vector<std::string> Finish();
    // A failure met by a script (empty when none).
    const std::string& Failure() const { return failure_; }

private:
    void Run(int connections, bool concurrent);
    void Serve(int socket);

    TScript script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> peers_;
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::string failure_;
};
