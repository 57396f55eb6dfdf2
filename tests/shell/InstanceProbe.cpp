// A small program that runs the single-instance guard the way the tray
// program does, and prints what happens to it, one line at a time:
//   "running <pid>", "new <pid>" or "unguarded <pid>" after the start-up check;
//   in the running copy, for each new start: "handling", then
//   "started <count>", one "param <length> <text>" per argument, and "end".
// Options before the arguments to hand over:
//   --wait-ms N          the guard's waits (default as the program's)
//   --handle-delay-ms N  the running copy is slow to handle each new start
//   --stall-ms N         the running copy lets no events through for N ms at first
// A new start whose only argument is "--quit" ends the running copy.

#include "platform/InstanceGuard.h"
#include "shell/InstanceNotifier.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    int waitMs = TInstanceGuard::DefaultWaitMs;
    int handleDelayMs = 0;
    int stallMs = 0;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--wait-ms" && i + 1 < argc)
            waitMs = std::stoi(argv[++i]);
        else if (a == "--handle-delay-ms" && i + 1 < argc)
            handleDelayMs = std::stoi(argv[++i]);
        else if (a == "--stall-ms" && i + 1 < argc)
            stallMs = std::stoi(argv[++i]);
        else if (a == "--") {
            ++i;
            break;
        } else
            break;
    }
    const std::vector<std::string> params(argv + i, argv + argc);

    QCoreApplication app(argc, argv);
    TInstanceGuard guard(OwnInstanceNames(), waitMs);
    const std::string pid = std::to_string(getpid());
    switch (guard.Start(params)) {
    case TInstanceRole::NewCopy:
        Say("new " + pid);
        return 0;
    case TInstanceRole::Unguarded:
        Say("unguarded " + pid);
        return 0;
    default:
        break;
    }
    Say("running " + pid);

    guard.OnInstanceStarted = [&](const std::vector<std::string>& got) {
        Say("handling");
        std::this_thread::sleep_for(std::chrono::milliseconds(handleDelayMs));
        Say("started " + std::to_string(got.size()));
        for (const auto& p : got)
            Say("param " + std::to_string(p.size()) + " " + p);
        Say("end");
        if (got.size() == 1 && got[0] == "--quit")
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
    };
    TInstanceNotifier notifier(guard);
    if (stallMs > 0)
        QTimer::singleShot(0, [stallMs] {
            Say("stalled");
            std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
            Say("awake");
        });
    return app.exec();
}
