#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

void ExecOrExit(const std::vector<std::string>& argv, bool searchPath)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (searchPath)
        execvp(args[0], args.data());
    else
        execv(args[0], args.data());
    _exit(127);
}

TChildProcess::TChildProcess(const std::vector<std::string>& argv, int startTimeoutMs)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    // The signal comes when the thread that forked ends, so only children of
    // the main thread, which lives as long as the test, can ask for it.
    const bool fromMainThread = gettid() == parent;
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // A test that crashes never stops its servers; left running they
        // would hold the test's output open and the whole run would hang.
        if (fromMainThread) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(127);
        }
        dup2(pipefd[1], STDOUT_FILENO);
        close(pipefd[0]);
        close(pipefd[1]);
        ExecOrExit(argv, false);
    }
    close(pipefd[1]);
    out_ = pipefd[0];
    firstLine_ = ReadLine(startTimeoutMs);
    if (firstLine_.empty()) {
        Stop();
        throw std::runtime_error("fixture did not start: " + argv.front());
    }
}

TChildProcess::~TChildProcess()
{
    Stop();
}

std::string TChildProcess::ReadLine(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (out_ < 0)
            return {};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return {};
        pollfd p{out_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return {};
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void TChildProcess::Stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            usleep(20000);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
}

std::vector<std::string> PythonFixture(const std::string& script, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{VENDREL_PYTHON, "-u", std::string(VENDREL_FIXTURES_DIR) + "/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TCommandResult RunCommand(const std::vector<std::string>& argv, int timeoutMs)
{
    TCommandResult result;
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return result;
    const pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        ExecOrExit(argv, true);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.Out, &result.Err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.ExitStatus = WEXITSTATUS(status);
    return result;
}
