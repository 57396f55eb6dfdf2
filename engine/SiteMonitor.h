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
#include "engine/FetchPool.h"
#include "engine/PassLock.h"
#include "engine/Scheduler.h"
#include "engine/SiteChecks.h"
#include "engine/WindowHost.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TDeferredSync;
class TNetSMTPPool;

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

// The log as the pass's parts write it: while a pass runs, each line goes
// to the site it belongs to, and reaches the window's log when every site
// before it has ended, so the log reads as if the sites had been taken one
// after another, however their mails finish.
class TLogRouter : public TDeliveryHost {
public:
    explicit TLogRouter(TDeliveryHost& host) : host_(host) {}
    // Where lines go now; none: straight to the log.
    std::vector<std::string>* Sink = nullptr;

    void AddToLog(const std::string& message) override
    {
        if (Sink)
            Sink->push_back(message);
        else
            host_.AddToLog(message);
    }
    TModalResult MessageBox(const std::string& text, TMsgKind kind, TMsgButtons buttons) override
    {
        return host_.MessageBox(text, kind, buttons);
    }
    TCursor Cursor() const override { return host_.Cursor(); }
    void SetCursor(TCursor cursor) override { host_.SetCursor(cursor); }
    void ProcessMessages() override { host_.ProcessMessages(); }

private:
    TDeliveryHost& host_;
};

class TSiteMonitor {
    // First, so that the parts that log through it are made after it.
    TLogRouter log_;

public:
    static constexpr std::uint32_t NoConnectionRetryMs = TScheduler::NoConnectionRetryMs;
    static constexpr std::uint32_t FirstCheckDelayMs = TScheduler::FirstCheckDelayMs;
    static constexpr std::uint32_t FlashIntervalMs = TBusyDisplay::FlashIntervalMs;
    static constexpr std::uint64_t MaxTimerStepMs = TScheduler::MaxTimerStepMs;
    // Composed mails waiting for the sessions at most. A pipelining session
    // holds two (one ending, the next one's envelope on its way); with only
    // those, a session whose message ends finds no next one to send with its
    // end, and pays a round trip more for each. Four for each of the three
    // sessions keeps them all busy, and a pass that mails hundreds of pages
    // holds a few of them, not all.
    static constexpr int MaxMailsWaiting = 12;
    // And their bytes at most (the composed mail and the page to store once
    // it is accepted): with big pages fewer wait, at least one.
    static constexpr std::int64_t MaxMailBytesWaiting = std::int64_t{2} << 20;

    // dataFolder ends in "/"; the stored pages live in its "HTML" folder,
    // which is made here when missing.
    TSiteMonitor(TWindowHost& host, const TClock& clock, const std::string& dataFolder);
    ~TSiteMonitor();
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

    // One site through download, decision, rewriting, sending and storing.
    // Gives false when the site failed; the window's callers ignore it, the
    // one-pass command counts it.
    bool ProcessSite(const std::string& name, const std::string& address, const std::string& progress,
                     bool interactive, int threshold);
    // Removes a site's stored page and what is kept with it (its validators
    // and its record of checks).
    void RemoveStoredPage(const std::string& name);
    // Delivers the site at index now, whatever changed.
    bool SendSiteOfIndex(int index, bool interactive = true);
    int DefaultThreshold() const;
    // The "SenderAddress" setting, which no control edits.
    std::string SenderAddress() const;

    void CheckForSites();
    // The Check Now button: the destination check, then a pass under the hourglass.
    void CheckNow();
    const TPassResult& LastPass() const { return lastPass_; }
    // A mail is on its way: a single send's, or one of a pass's.
    bool Sending() const { return Composer.Sending() || mailsWaiting_ > 0; }
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
    void Stage(const char* word, const std::string& progress, const std::string& name);
    // Raises when the site cannot be fetched at all (no address, a name
    // that cannot name its stored page).
    void CheckSite(const std::string& name, const std::string& address) const;
    // Logs a failed site (and shows it when interactive); gives false.
    bool SiteFailed(const std::string& name, bool interactive, const std::exception& e);
    // A fetched page through decision, rewriting, sending and storing.
    // The plain-text part of a page's mail.
    std::string Footer(const std::string& name) const;
    TFetchLimits FetchLimits() const;
    // Asks the pool for a site's page; -1 when the site cannot be fetched.
    int QueueFetch(TFetchPool& pool, const std::string& entry);
    // One ticked site of a pass, whose page the pool fetches; its mail goes
    // out through the pass's kept sessions and may end after the call.
    void PassSite(TFetchPool& pool, int fetch, const std::string& name, const std::string& address,
                  const std::string& progress, int threshold);
    // Decision and rewriting of a fetched page; false when it is skipped.
    // newText is the page as it will be stored.
    // footer is the mail's plain part, with the summary of what changed
    // when that setting is on.
    bool PreparePage(const std::string& name, const std::string& address, const std::string& progress,
                     int threshold, TFetchedPage& page, std::string& newText, std::string& footer);
    // The summary and marks of what changed since the stored copy, in the
    // rewritten page; gives the plain part with the summary in it.
    std::string MarkChanges(const std::string& name, const std::string& storedPath,
                            std::optional<std::string>& storedText, const std::string& contentType, std::string& page,
                            const std::string& footer);
    // After the server took the mail: the page becomes the stored copy.
    void Delivered(const std::string& name, const std::string& newText, const TPageValidators& validators);
    // Hands a composed page to the pass's sessions; the site ends when the
    // server has answered.
    void SubmitPage(TFetchPool& pool, const std::string& name, const std::string& address, std::string newText,
                    TPageValidators validators);
    // Waits for the network (pages and mail) at most waitMs, lets events
    // run, and calls what ended.
    void PassWait(TFetchPool& pool, int waitMs);
    // The log lines of a site of the pass, in list order.
    struct TSiteLog {
        std::vector<std::string> Lines;
        bool Ended = false;
        // Mails about the site (a notice) not answered yet; its lines wait
        // for them.
        int Waiting = 0;
    };
    // After a site's check in a pass, in its log: a good check clears its
    // count of failures, a failed one adds to it, and the third failure in
    // a row is told to the user (log, tray message, a notice by mail through
    // the pass's sessions).
    void NoteCheck(TSiteLog& site, const std::string& name, const std::string& address, bool ok,
                   const std::string& reason);
    void ReportFailingSite(TSiteLog& site, const std::string& name, const std::string& address,
                           const std::string& reason, const TSiteChecks& checks);
    // The pass's sessions, opened at its first mail (the port checked first).
    TNetSMTPPool& PassMail();
    TSiteLog& BeginSiteLog();
    void EndSiteLog(TSiteLog& site);
    // Writes the lines of the sites that have ended, up to the first that
    // has not (all of them when a stopped pass leaves).
    void FlushSiteLogs(bool all = false);
    void StoreSitePage(const std::string& path, const std::string& text, const TPageValidators& validators);
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
    TFetchShare fetchShare_;
    // The mail of the running pass, opened at its first delivery.
    std::unique_ptr<TNetSMTPPool> mailPool_;
    std::deque<TSiteLog> siteLogs_;
    // Mails handed to the sessions and not answered yet.
    int mailsWaiting_ = 0;
    std::int64_t mailBytesWaiting_ = 0;
    TPassResult lastPass_;
    int runDepth_ = 0;
    // Set while a pass runs; a single send stores its page at once.
    TDeferredSync* passPages_ = nullptr;
};
