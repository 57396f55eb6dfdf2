#pragma once

// The busy look of the program: the tray image, the cursor, the caption and
// tip texts, and the flash of the "new" image after a run that delivered
// something. It reaches the window only through TWindowHost.

#include "engine/EngineFlags.h"
#include "engine/WindowHost.h"
#include "platform/ScopeExit.h"

#include <cstdint>
#include <string>

// The destination rule of the Check Now, Send Site and OK actions.
bool IsValidDestEmail(const std::string& text);

class TBusyDisplay {
public:
    static constexpr std::uint32_t FlashIntervalMs = 500;

    TBusyDisplay(TWindowHost& host, TEngineFlags& flags);
    TBusyDisplay(const TBusyDisplay&) = delete;
    TBusyDisplay& operator=(const TBusyDisplay&) = delete;

    // The one switch between the busy look and the idle look.
    void SetProcessing(bool busy);
    void SetDisplay(const std::string& caption, const std::string& tip);
    // One tick of the flash timer.
    void TimerAnimTimer();
    // Ends a running flash within one tick.
    void HideFlashingIcon();
    // The destination check; shows its message when the field is not valid.
    bool CheckDestEmail();
    int FlashCounter() const { return flashCounter_; }

private:
    TWindowHost& host_;
    TEngineFlags& flags_;
    int flashCounter_ = 0;
};

// The busy look for the life of one run, left on every path out of it.
class TBusyScope {
public:
    explicit TBusyScope(TBusyDisplay& display) : idle_([&display] { display.SetProcessing(false); })
    {
        display.SetProcessing(true);
    }

private:
    TScopeAction idle_;
};
