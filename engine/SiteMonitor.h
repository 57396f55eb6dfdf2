#pragma once

// The engine's operations on the main window's state: the per-site pipeline,
// the check cycle with its scheduler, and the busy state. The window owns one
// and forwards its handlers to it; it reaches the window only through
// TWindowHost and reads time only through the clock.

#include "delivery/MailComposer.h"
#include "delivery/PageRewriter.h"
#include "engine/Clock.h"
#include "engine/Download.h"
#include "engine/EngineFlags.h"
#include "engine/WindowHost.h"
#include "platform/FolderLock.h"

#include <cstdint>
#include <functional>
#include <string>

struct TTimeOfDay;

// The destination rule of the Check Now, Send Site and OK actions.
bool IsValidDestEmail(const std::string& text);

// What the last check pass came to, for the one-pass command.
struct TPassResult {
    bool RanToEnd = false;
    bool NoConnection = false;
    bool FolderBusy = false;
    int Processed = 0;
    int Failed = 0;
};

class TSiteMonitor {
public:
    static constexpr std::uint32_t NoConnectionRetryMs = 600000;
    static constexpr std::uint32_t FirstCheckDelayMs = 10000;
    static constexpr std::uint32_t FlashIntervalMs = 500;
    // The longest period one timer run is given; longer due times re-arm.
    static constexpr std::uint64_t MaxTimerStepMs = 2147483647;

    TSiteMonitor(TWindowHost& host, const TClock& clock);

    TEngineFlags Flags;
    TPageDownload Download;
    TPageRewriter Rewriter;
    TMailComposer Composer;
    // The connection test; replaceable so tests decide what it says.
    std::function<bool()> IsConnected;

    // One site through download, decision, rewriting, sending and storing.
    // Gives false when the site failed; the window's callers ignore it, the
    // one-pass command counts it.
    bool ProcessSite(const std::string& name, const std::string& address, const std::string& progress,
                     bool interactive, int threshold);
    // Delivers the site at index now, whatever changed.
    bool SendSiteOfIndex(int index, bool interactive = true);
    int DefaultThreshold() const;
    // The "SenderAddress" setting, which no control edits.
    std::string SenderAddress() const;

    void CheckForSites();
    // The Check Now button: the destination check, then a pass under the hourglass.
    void CheckNow();
    void EnableTimer();
    void DisableTimer();
    void Timer1Timer();
    // OK and Cancel: ten seconds in interval mode, the daily time otherwise.
    void ArmAfterSettings();
    std::int64_t SecondsUntilCheckTime(const TTimeOfDay& checkTime) const;
    // The interval of the schedule settings, exact in 64 bits.
    std::uint64_t ScheduleIntervalMs() const;

    void SetProcessing(bool busy);
    void SetDisplay(const std::string& caption, const std::string& tip);
    void TimerAnimTimer();
    void HideFlashingIcon();
    bool CheckDestEmail();

    const TPassResult& LastPass() const { return lastPass_; }
    int FlashCounter() const { return flashCounter_; }
    // When the armed check is due (for intervals longer than one timer run).
    TDateTime Timer1DueTime() const { return timer1Due_; }
    bool Timer1Enabled() const { return timer1Enabled_; }

private:
    void ArmTimer1(std::uint64_t intervalMs);
    void StoreSitePage(const std::string& name, const std::string& text);
    bool EnterFolderLock();
    void LeaveFolderLock();

    TWindowHost& host_;
    const TClock& clock_;
    TPassResult lastPass_;
    int flashCounter_ = 0;
    bool timer1Enabled_ = false;
    std::uint64_t timer1Interval_ = 0;
    TDateTime timer1Due_{};
    TFolderLock folderLock_;
    int folderLockDepth_ = 0;
};
