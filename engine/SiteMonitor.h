#pragma once

// The engine's operations on the main window's state: the per-site pipeline
// and the check pass, over the scheduler (TScheduler) and the busy display
// (TBusyDisplay) it owns. The window owns one and forwards its handlers to
// it; it reaches the window only through TWindowHost, reads time only through
// the clock and keeps its files in the data folder it is given.

#include "delivery/MailComposer.h"
#include "delivery/PageRewriter.h"
#include "engine/BusyDisplay.h"
#include "platform/Clock.h"
#include "engine/Download.h"
#include "engine/EngineFlags.h"
#include "engine/PassLock.h"
#include "engine/Scheduler.h"
#include "engine/SiteChecks.h"
#include "engine/WindowHost.h"

#include <cstdint>
#include <functional>
#include <string>

class TDeferredSync;

struct TTimeOfDay;

// What the last check pass came to, for the one-pass command.
struct TPassResult {
    bool RanToEnd = false;
    bool NoConnection = false;
    bool FolderBusy = false;
    // What kept the pass out of the data folder when it was not another
    // process (an unusable lock file); empty otherwise.
    std::string FolderError;
    int Processed = 0;
    int Failed = 0;
};

class TSiteMonitor {
public:
    static constexpr std::uint32_t NoConnectionRetryMs = TScheduler::NoConnectionRetryMs;
    static constexpr std::uint32_t FirstCheckDelayMs = TScheduler::FirstCheckDelayMs;
    static constexpr std::uint32_t FlashIntervalMs = TBusyDisplay::FlashIntervalMs;
    static constexpr std::uint64_t MaxTimerStepMs = TScheduler::MaxTimerStepMs;

    // dataFolder ends in "/"; the stored pages live in its "HTML" folder,
    // which is made here when missing.
    TSiteMonitor(TWindowHost& host, const TClock& clock, const std::string& dataFolder);
    TSiteMonitor(const TSiteMonitor&) = delete;
    TSiteMonitor& operator=(const TSiteMonitor&) = delete;

    TEngineFlags Flags;
    TPageDownload Download;
    TPageRewriter Rewriter;
    TMailComposer Composer;
    // The connection test; replaceable so tests decide what it says.
    std::function<bool()> IsConnected;

    TScheduler& Scheduler() { return scheduler_; }
    TBusyDisplay& BusyDisplay() { return busy_; }
    const std::string& DataFolder() const { return dataFolder_; }
    // The site's stored page in the data folder's page folder.
    std::string StoredPagePath(const std::string& name) const;
    // The record of the site's recent checks, beside its stored page.
    std::string SiteChecksPath(const std::string& name) const;
    // A deleted site's files: its stored page and its record of checks.
    void RemoveSiteFiles(const std::string& name);

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
    const TPassResult& LastPass() const { return lastPass_; }
    // A check pass or a single-site send is running (events are handled
    // inside it, so the window can be asked for another one meanwhile).
    bool Running() const { return runDepth_ > 0; }

    // The scheduler's operations, as the window's handlers call them.
    void EnableTimer() { scheduler_.EnableTimer(); }
    void DisableTimer() { scheduler_.DisableTimer(); }
    // The check timer's handler: a pass when the check is due.
    void Timer1Timer();
    void ArmAfterSettings() { scheduler_.ArmAfterSettings(); }
    // A start by the system (with an argument): the first pass ten seconds
    // later, once the desktop and the network have come up.
    void ArmFirstCheck() { scheduler_.Arm(FirstCheckDelayMs); }
    std::int64_t SecondsUntilCheckTime(const TTimeOfDay& checkTime) const
    {
        return scheduler_.SecondsUntilCheckTime(checkTime);
    }
    std::uint64_t ScheduleIntervalMs() const { return scheduler_.ScheduleIntervalMs(); }
    TDateTime Timer1DueTime() const { return scheduler_.DueTime(); }
    bool Timer1Enabled() const { return scheduler_.Enabled(); }

    // The busy display's operations, as the window's handlers call them.
    void SetProcessing(bool busy) { busy_.SetProcessing(busy); }
    void SetDisplay(const std::string& caption, const std::string& tip) { busy_.SetDisplay(caption, tip); }
    void TimerAnimTimer() { busy_.TimerAnimTimer(); }
    void HideFlashingIcon() { busy_.HideFlashingIcon(); }
    bool CheckDestEmail() { return busy_.CheckDestEmail(); }
    int FlashCounter() const { return busy_.FlashCounter(); }

private:
    // After a site's check in a pass: a good check clears its count of
    // failures, a failed one adds to it, and the third failure in a row is
    // told to the user (log, tray message, a notice by mail).
    void NoteCheck(const std::string& name, const std::string& address, bool ok, const std::string& reason);
    void ReportFailingSite(const std::string& name, const std::string& address, const std::string& reason,
                           const TSiteChecks& checks);
    void StoreSitePage(const std::string& path, const std::string& text);
    // At the end of a pass: the pages it stored reach the disk together.
    void FlushStoredPages(TDeferredSync& pages);
    // After the folder is held: what killed saves left in the page folder.
    void RemoveLeftovers();

    TWindowHost& host_;
    const TClock& clock_;
    const std::string dataFolder_;
    const std::string pageFolder_;
    TScheduler scheduler_;
    TBusyDisplay busy_;
    TPassLock passLock_;
    TPassResult lastPass_;
    int runDepth_ = 0;
    // Why the last ProcessSite failed, in words for the user.
    std::string lastFailure_;
    // Set while a pass runs; a single send stores its page at once.
    TDeferredSync* passPages_ = nullptr;
};
