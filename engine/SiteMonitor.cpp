#include "engine/SiteMonitor.h"

#include "delivery/CursorScope.h"
#include "engine/ChangeMeasure.h"
#include "engine/Product.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "platform/AtomicFile.h"
#include "platform/Connection.h"
#include "platform/Folders.h"
#include "platform/Memory.h"
#include "platform/ScopeExit.h"
#include "platform/Text.h"
#include "platform/Utilities.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <sys/stat.h>

namespace {

class ESiteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // reason: what went wrong in words for the user, where the message only
    // names the stage ("Site Download Error").
    ESiteError(const std::string& message, std::string reason)
        : std::runtime_error(message), Reason(std::move(reason))
    {
    }
    std::string Reason;
};

// The mail went out but the copy to compare with could not be replaced.
class EStoreError : public ESiteError {
public:
    using ESiteError::ESiteError;
};

// Counts the runs in progress for the life of one run, on every path out.
class TDepthScope {
public:
    explicit TDepthScope(int& depth) : depth_(depth) { ++depth_; }
    ~TDepthScope() { --depth_; }
    TDepthScope(const TDepthScope&) = delete;
    TDepthScope& operator=(const TDepthScope&) = delete;

private:
    int& depth_;
};

// An error text on one line: replies end their lines with CR LF.
std::string OneLine(const std::string& text)
{
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty() && line.back() != ' ')
                line += ' ';
        } else {
            line += c;
        }
    }
    return Trim(line);
}

bool FileExistsAt(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

TSiteMonitor::TSiteMonitor(TWindowHost& host, const TClock& clock, const std::string& dataFolder)
    : Download(host, Flags), Rewriter(host, clock), Composer(host, clock), IsConnected(IsInternetConnected), host_(host),
      clock_(clock), dataFolder_(dataFolder), pageFolder_(PageFolder(dataFolder)), scheduler_(host, clock),
      busy_(host, Flags), passLock_(dataFolder)
{
}

std::string TSiteMonitor::StoredPagePath(const std::string& name) const
{
    return ::StoredPagePath(pageFolder_, name);
}

std::string TSiteMonitor::SiteChecksPath(const std::string& name) const
{
    return ::SiteChecksPath(pageFolder_, name);
}

void TSiteMonitor::RemoveSiteFiles(const std::string& name)
{
    // A name the pass refuses never had files; one like "../x" would name
    // files outside the page folder.
    if (!SiteNameError(name).empty())
        return;
    std::remove(StoredPagePath(name).c_str());
    std::remove(SiteChecksPath(name).c_str());
}

int TSiteMonitor::DefaultThreshold() const
{
    return ThresholdOfChoice(host_.CurrentSettings().Sensitivity);
}

std::string TSiteMonitor::SenderAddress() const
{
    return host_.CurrentSettings().SenderAddress;
}

bool TSiteMonitor::ProcessSite(const std::string& name, const std::string& address, const std::string& progress,
                               bool interactive, int threshold)
{
    Flags.AbortRequested = false;
    lastFailure_.clear();
    if (threshold == ThresholdDefault)
        threshold = DefaultThreshold();
    auto stage = [&](const char* word) { SetDisplay(word + progress + ": " + name, word + progress); };
    try {
        if (address.empty())
            throw ESiteError("No Site Specified.");
        // The name becomes a path: one that cannot name a file below the page
        // folder is never fetched, so it is never mailed on every pass.
        if (const std::string nameError = SiteNameError(name); !nameError.empty())
            throw ESiteError(nameError);

        stage("Downloading Site");
        std::string page;
        Download.UserAgent = host_.CurrentSettings().UserAgent;
        Download.DownloadPage(address, page);
        if (page.empty())
            throw ESiteError("Site Download Error", Download.FailureReason);
        // Kept now: events that run during the rewrite may start another fetch.
        const std::string contentType = Download.ContentType;

        const std::string storedPath = StoredPagePath(name);
        if (threshold != ThresholdAlways && FileExistsAt(storedPath)) {
            const auto storedText = ReadWholeFile(storedPath);
            if (!storedText)
                throw ESiteError("Cannot read " + storedPath + ": " + std::strerror(errno));
            std::string value;
            // The measure reads the page as if in its stored form (CR LF
            // after every line) without making that form.
            if (PageUnchanged(page, *storedText, threshold, value)) {
                host_.AddToLog(name + " unchanged (" + value + "), Skipping");
                stage("Skipping Site");
                return true;
            }
            host_.AddToLog(name + " has changed (" + value + "), Delivering");
        } else {
            host_.AddToLog(name + " processed, Delivering");
        }

        // Kept as one text, not as a list of lines: a page of millions of
        // short lines would take dozens of times its size as a list.
        const std::string newText = CrLfLines(page);
        stage("Processing Site");
        if (!Rewriter.RewritePage(address, page))
            throw ESiteError("HTML Parsing Error");

        stage("Delivering Site");
        const TSettings settings = host_.CurrentSettings();
        const std::string footer = "\"" + name + "\" sent from " + ProductName + " at " +
                                   DateTimeText(clock_.Now()) + "\r\n" + ProductName +
                                   " is free software from " + MakerName + ": " + MakerWebAddress;
        if (!Composer.ComposeAndSend(settings.Server, settings.DestEmail, settings.Subject + ": " + name, page, footer,
                                     true, nullptr, ChooseSender(settings.SenderAddress, settings.DestEmail), false,
                                     interactive, true, contentType))
            throw ESiteError("Web site delivery error",
                             Composer.LastError.empty() ? "" : "the mail could not be sent: " + OneLine(Composer.LastError));

        // The raw page, not the rewritten one, is what the next check compares with.
        StoreSitePage(storedPath, newText);
        if (host_.WindowVisible() && settings.ShowDeliveredDates)
            host_.RedrawSiteList();
        Flags.DeliveredWhileBusy = true;
        return true;
    } catch (const std::exception& e) {
        const auto* siteError = dynamic_cast<const ESiteError*>(&e);
        lastFailure_ = siteError && !siteError->Reason.empty() ? siteError->Reason : OneLine(e.what());
        host_.AddToLog("Error processing " + name + ": " + e.what());
        if (dynamic_cast<const EStoreError*>(&e))
            host_.AddToLog(name + " was mailed, but its stored copy was not replaced: the next check will deliver it again");
        if (interactive)
            host_.MessageBox(name + " Error: " + e.what(), TMsgKind::Error, TMsgButtons::OK);
        return false;
    }
}

void TSiteMonitor::NoteCheck(const std::string& name, const std::string& address, bool ok,
                             const std::string& reason)
{
    // A name that cannot name a file has no record to keep.
    if (!SiteNameError(name).empty())
        return;
    const std::string path = SiteChecksPath(name);
    TSiteChecks checks = ReadSiteChecks(path);
    if (ok) {
        checks.Failures = 0;
        checks.LastGood = clock_.Now();
    } else {
        ++checks.Failures;
    }
    if (pageFolder_ != dataFolder_)
        ForceFolder(pageFolder_);
    if (!WriteSiteChecks(path, checks))
        host_.AddToLog("Cannot write " + path + ": " + std::strerror(errno));
    if (!ok && checks.Failures == FailuresBeforeNotice)
        ReportFailingSite(name, address, reason.empty() ? "Site Download Error" : reason, checks);
}

void TSiteMonitor::ReportFailingSite(const std::string& name, const std::string& address, const std::string& reason,
                                     const TSiteChecks& checks)
{
    const std::string count = std::to_string(FailuresBeforeNotice);
    host_.AddToLog(name + " has failed " + count + " checks in a row: " + reason);
    const std::string title = std::string("Vendrel could not check ") + name;
    host_.ShowTrayMessage(title, "It has failed " + count + " checks in a row: " + reason);

    const std::string lastGood = checks.LastGood ? DateTimeText(*checks.LastGood) : "none recorded";
    const std::string body = title + ".\r\n\r\n"
                             "Address: " + address + "\r\n"
                             "Reason: " + reason + "\r\n"
                             "Last good check: " + lastGood + "\r\n\r\n" +
                             name + " has failed " + count + " checks in a row. " + ProductName +
                             " keeps checking it, and tells you\r\n"
                             "again only if it recovers and then fails " + count + " checks in a row again.\r\n";
    const TSettings settings = host_.CurrentSettings();
    // A notice that cannot be sent has said why in the log already.
    Composer.ComposeAndSend(settings.Server, settings.DestEmail, title, body, "", false, nullptr,
                            ChooseSender(settings.SenderAddress, settings.DestEmail), false, false, true);
}

void TSiteMonitor::StoreSitePage(const std::string& path, const std::string& text)
{
    // The page folder was made at start; it is made again if it went since.
    if (pageFolder_ != dataFolder_)
        ForceFolder(pageFolder_);
    if (!WriteFileAtomic(path, text, std::nullopt, passPages_))
        throw EStoreError("Cannot write " + path + ": " + std::strerror(errno));
}

void TSiteMonitor::FlushStoredPages(TDeferredSync& pages)
{
    if (pages.Empty())
        return;
    std::string failed;
    if (!pages.Flush(&failed)) {
        host_.AddToLog("Cannot write " + failed + ": " + std::strerror(errno));
        ++lastPass_.Failed;
    }
}

void TSiteMonitor::RemoveLeftovers()
{
    // Only passes write stored pages, and this one holds the folder.
    RemoveAtomicWriteLeftovers(pageFolder_, ".html");
}

bool TSiteMonitor::SendSiteOfIndex(int index, bool interactive)
{
    TSiteList& sites = host_.Sites();
    if (index < 0 || index >= sites.Count())
        return false;
    const std::string entry = sites.Entry(index);
    if (runDepth_ > 0) {
        // The running pass or send holds the one message and SMTP session.
        host_.AddToLog("Vendrel is busy checking your sites; " + SiteNameOf(entry) + " was not sent");
        if (interactive)
            host_.MessageBox("Vendrel is busy checking your sites; try again when it has finished.",
                             TMsgKind::Information, TMsgButtons::OK);
        return false;
    }
    lastPass_ = TPassResult{};
    bool ok = false;
    {
        TCursorScope hourglass(host_);
        TPassLockScope lock(passLock_);
        if (!lock.Held() && !lock.Error().empty()) {
            lastPass_.FolderError = lock.Error();
            host_.AddToLog("Cannot send " + SiteNameOf(entry) + ": " + lock.Error());
            if (interactive)
                host_.MessageBox("Vendrel cannot use its data folder: " + lock.Error() + ".", TMsgKind::Error,
                                 TMsgButtons::OK);
            return false;
        }
        if (!lock.Held()) {
            lastPass_.FolderBusy = true;
            host_.AddToLog("Another Vendrel is checking these sites; " + SiteNameOf(entry) + " was not sent");
            if (interactive)
                host_.MessageBox("Another Vendrel is checking these sites; try again when it has finished.",
                                 TMsgKind::Warning, TMsgButtons::OK);
            return false;
        }
        RemoveLeftovers();
        TBusyScope busy(busy_);
        TDepthScope running(runDepth_);
        ok = ProcessSite(SiteNameOf(entry), SiteAddressOf(entry), "", interactive, ThresholdAlways);
    }
    lastPass_.RanToEnd = true;
    lastPass_.Processed = 1;
    lastPass_.Failed = ok ? 0 : 1;
    return ok;
}

void TSiteMonitor::Timer1Timer()
{
    if (scheduler_.Fired())
        CheckForSites();
}

void TSiteMonitor::CheckForSites()
{
    // Asked for from an event handled inside a running pass or send: a
    // second pass would share the one download, message and SMTP session
    // with the first. Both stopping is what the user gets either way, so the
    // running one is asked to stop at its next site (its fetch ends at once)
    // and re-arms the timer when it leaves.
    if (runDepth_ > 0) {
        Flags.AbortRequested = true;
        return;
    }
    scheduler_.DisableTimer();
    Flags.AbortRequested = false;
    lastPass_ = TPassResult{};
    if (host_.CurrentSettings().ActiveNetConnection && !IsConnected()) {
        lastPass_.NoConnection = true;
        scheduler_.Arm(NoConnectionRetryMs);
        return;
    }

    // Left in reverse order on every path: the idle look, the folder, then
    // the timer armed from the schedule.
    TRearmScope rearm(scheduler_);
    TPassLockScope lock(passLock_);
    if (!lock.Held() && !lock.Error().empty()) {
        lastPass_.FolderError = lock.Error();
        host_.AddToLog("Cannot check these sites: " + lock.Error() + "; checking again later");
        return;
    }
    if (!lock.Held()) {
        lastPass_.FolderBusy = true;
        host_.AddToLog("Another Vendrel is checking these sites; checking again later");
        return;
    }
    RemoveLeftovers();
    TBusyScope busy(busy_);
    TDepthScope running(runDepth_);
    TScopeExit giveBack([] { ReturnFreedMemory(); });
    TDeferredSync storedPages;
    passPages_ = &storedPages;
    auto flush = [&] {
        passPages_ = nullptr;
        FlushStoredPages(storedPages);
    };
    // On every way out; on the way to the end, before the pass is summed up.
    TScopeExit durable(flush);

    TSiteList& sites = host_.Sites();
    const int count = sites.Count();
    // The list may shrink while events are processed during a site.
    for (int i = 0; i < count && i < sites.Count(); ++i) {
        if (!SiteSelected(sites, i))
            continue;
        if (Flags.AbortRequested)
            return;
        char progress[48];
        std::snprintf(progress, sizeof progress, " %d of %d", i + 1, sites.Count());
        const std::string entry = sites.Entry(i);
        ++lastPass_.Processed;
        const bool ok = ProcessSite(SiteNameOf(entry), SiteAddressOf(entry), progress, false, SiteThresholdOf(entry));
        if (!ok)
            ++lastPass_.Failed;
        // A fetch the user stopped says nothing about the site.
        if (ok || !Flags.AbortRequested)
            NoteCheck(SiteNameOf(entry), SiteAddressOf(entry), ok, lastFailure_);
    }
    flush();
    lastPass_.RanToEnd = true;
    host_.AddLogSeparator();
}

void TSiteMonitor::CheckNow()
{
    if (!CheckDestEmail())
        return;
    host_.SetCursor(TCursor::HourGlass);
    // The plain cursor afterwards, not the one before: the button is pressed
    // with the plain cursor showing.
    TScopeExit plain([this] { host_.SetCursor(TCursor::Default); });
    CheckForSites();
    if (host_.WindowVisible())
        host_.RedrawSiteList();
}
