#pragma once

// A server process that a test starts on loopback and stops when it ends.
// The child prints its first line (for the fixtures here: the port it bound)
// on standard output; the rest of its output goes to the test's stderr.

#include <string>
#include <vector>

class TChildProcess {
public:
    // Starts argv[0] with the arguments and waits for its first line.
    explicit TChildProcess(const std::vector<std::string>& argv, int startTimeoutMs = 15000);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    const std::string& FirstLine() const { return firstLine_; }
    // The next line the child prints, or empty at its end or after the time-out.
    std::string ReadLine(int timeoutMs = 15000);
    void Stop();
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
    int out_ = -1;
    std::string pending_;
    std::string firstLine_;
};

// In a child just forked: runs argv (argv[0] looked for on PATH when
// searchPath), or ends the child with status 127 when it cannot.
[[noreturn]] void ExecOrExit(const std::vector<std::string>& argv, bool searchPath);

// Starts a Python fixture from tests/fixtures with Debian's interpreter.
std::vector<std::string> PythonFixture(const std::string& script, const std::vector<std::string>& args = {});

// Runs a command to its end, collecting what it prints.
struct TCommandResult {
    int ExitStatus = -1; // -1: killed by a signal or not started
    std::string Out;
    std::string Err;
};
TCommandResult RunCommand(const std::vector<std::string>& argv, int timeoutMs = 120000);
