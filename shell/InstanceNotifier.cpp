#include "shell/InstanceNotifier.h"

#include "platform/InstanceGuard.h"

#include <QSocketNotifier>
#include <cstdio>
#include <exception>

TInstanceNotifier::TInstanceNotifier(TInstanceGuard& guard, QObject* parent)
    : QObject(parent), guard_(guard)
{
    if (guard_.WakeHandle() < 0)
        return;
    notifier_ = new QSocketNotifier(guard_.WakeHandle(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Knocked(); });
}

void TInstanceNotifier::Knocked()
{
    // The guard has released the mailbox by the time a handler's error gets
    // here; an error must not end the event loop that the program lives in.
    try {
        guard_.HandleWake();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Vendrel: a new start could not be handled: %s\n", e.what());
    }
}
