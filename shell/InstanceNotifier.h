#pragma once

// Brings the guard's knocks onto the user-interface thread: the running copy
// handles a new start between two events, as it would a posted message.

#include <QObject>

class QSocketNotifier;
class TInstanceGuard;

class TInstanceNotifier : public QObject {
public:
    // Watches the guard's wake socket; does nothing unless the guard is the
    // running copy.
    explicit TInstanceNotifier(TInstanceGuard& guard, QObject* parent = nullptr);

private:
    void Knocked();

    TInstanceGuard& guard_;
    QSocketNotifier* notifier_ = nullptr;
};
