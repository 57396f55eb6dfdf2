#pragma once

// Everything the engine needs of the main window: the delivery half (log,
// message boxes, cursor, event processing, mail server), the display, the two
// timers, the current settings and the site list. The window implements it;
// the one-pass command and the tests implement it without a display.

#include "delivery/DeliveryHost.h"

#include <cstdint>
#include <string>

struct TSettings;
class TSiteList;

enum class TTrayImage { Normal, Busy, New };

class TWindowHost : public TDeliveryHost {
public:
    // An empty line in the activity log, without a time stamp.
    virtual void AddLogSeparator() = 0;

    virtual void SetCaption(const std::string& caption) = 0;
    virtual void SetTrayTip(const std::string& tip) = 0;
    virtual void SetTrayImage(TTrayImage image) = 0;
    // A message from the tray icon, when the icon is shown; nothing otherwise.
    virtual void ShowTrayMessage(const std::string& title, const std::string& text) = 0;
    virtual bool WindowVisible() const = 0;
    // Repaints the site list (delivered dates may have changed).
    virtual void RedrawSiteList() = 0;

    // The check timer; the engine reaches intervals above what one timer
    // period holds by re-arming.
    virtual void StartTimer1(std::uint32_t intervalMs) = 0;
    virtual void StopTimer1() = 0;
    // The 500 ms flash timer.
    virtual void StartTimerAnim() = 0;
    virtual void StopTimerAnim() = 0;

    // The settings as the window's controls hold them now, saved or not.
    // A copy, so that a run reads one consistent set.
    virtual TSettings CurrentSettings() const = 0;
    virtual TSiteList& Sites() = 0;
};
