#include "platform/EndSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// One program, one pair of ends: the handler may touch nothing but these.
int pipeRead = -1;
volatile sig_atomic_t pipeWrite = -1;

void OnEndSignal(int signo)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    if (pipeWrite >= 0) {
        // A full pipe already holds a request to end; one more adds nothing.
        const ssize_t n = write(pipeWrite, &byte, 1);
        (void)n;
    }
    errno = saved;
}

void Catch(int signo, void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A blocking call interrupted by the signal carries on; the loop reads
    // the pipe when it gets there.
    action.sa_flags = SA_RESTART;
    sigaction(signo, &action, nullptr);
}

} // namespace

TEndSignals::TEndSignals()
{
    if (pipeRead >= 0)
        return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    pipeRead = fds[0];
    pipeWrite = fds[1];
    Catch(SIGTERM, OnEndSignal);
    Catch(SIGINT, OnEndSignal);
}

TEndSignals::~TEndSignals()
{
    if (pipeRead < 0)
        return;
    Catch(SIGTERM, SIG_DFL);
    Catch(SIGINT, SIG_DFL);
    const int w = pipeWrite;
    pipeWrite = -1;
    close(w);
    close(pipeRead);
    pipeRead = -1;
}

int TEndSignals::Handle() const
{
    return pipeRead;
}

int TEndSignals::Take()
{
    int last = 0;
    unsigned char bytes[16];
    ssize_t n;
    while ((n = read(pipeRead, bytes, sizeof bytes)) > 0)
        last = bytes[n - 1];
    return last;
}
