#include "engine/SiteMonitor.h"

#include "delivery/ChangeMarks.h"
#include "delivery/CursorScope.h"
#include "engine/ChangeMeasure.h"
#include "engine/PageWatch.h"
#include "engine/Product.h"
#include "engine/PageValidators.h"
#include "transport/NetSMTPPool.h"
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
#include <vector>
#include <sys/stat.h>
#include <unordered_set>

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

// Why a site failed, for the user told that it keeps failing.
std::string FailureReasonOf(const std::exception& e)
{
    const auto* siteError = dynamic_cast<const ESiteError*>(&e);
    return siteError && !siteError->Reason.empty() ? siteError->Reason : OneLine(e.what());
}

std::string MailFailureReason(const std::string& error)
{
    return "the mail could not be sent: " + OneLine(error);
}

bool FileExistsAt(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

TSiteMonitor::TSiteMonitor(TWindowHost& host, const TClock& clock, const std::string& dataFolder)
    : log_(host), Download(host, Flags), Rewriter(log_, clock), Composer(log_, clock), IsConnected(IsInternetConnected), host_(host),
      clock_(clock), dataFolder_(dataFolder), pageFolder_(PageFolder(dataFolder)), scheduler_(host, clock),
      busy_(host, Flags), passLock_(dataFolder)
{
}

TSiteMonitor::~TSiteMonitor() = default;

std::string TSiteMonitor::StoredPagePath(const std::string& name) const
{
    return ::StoredPagePath(pageFolder_, name);
}

std::string TSiteMonitor::SiteChecksPath(const std::string& name) const
{
    return ::SiteChecksPath(pageFolder_, name);
}

int TSiteMonitor::DefaultThreshold() const
{
    return ThresholdOfChoice(host_.CurrentSettings().Sensitivity);
}

std::string TSiteMonitor::SenderAddress() const
{
    return host_.CurrentSettings().SenderAddress;
}

void TSiteMonitor::Stage(const char* word, const std::string& progress, const std::string& name)
{
    SetDisplay(word + progress + ": " + name, word + progress);
}

void TSiteMonitor::CheckSite(const std::string& name, const std::string& address) const
{
    if (address.empty())
        throw ESiteError("No Site Specified.");
    // The name becomes a path: one that cannot name a file below the page
    // folder is never fetched, so it is never mailed on every pass.
    if (const std::string nameError = SiteNameError(name); !nameError.empty())
        throw ESiteError(nameError);
}

bool TSiteMonitor::SiteFailed(const std::string& name, bool interactive, const std::exception& e)
{
    log_.AddToLog("Error processing " + name + ": " + e.what());
    if (dynamic_cast<const EStoreError*>(&e))
        log_.AddToLog(name + " was mailed, but its stored copy was not replaced: the next check will deliver it again");
    if (interactive)
        host_.MessageBox(name + " Error: " + e.what(), TMsgKind::Error, TMsgButtons::OK);
    return false;
}

bool TSiteMonitor::ProcessSite(const std::string& name, const std::string& address, const std::string& progress,
                               bool interactive, int threshold)
{
    Flags.AbortRequested = false;
    if (threshold == ThresholdDefault)
        threshold = DefaultThreshold();
    try {
        CheckSite(name, address);
        Stage("Downloading Site", progress, name);
        TFetchedPage page;
        Download.UserAgent = host_.CurrentSettings().UserAgent;
        Download.DownloadPage(address, page.Text);
        if (page.Text.empty())
            throw ESiteError("Site Download Error");
        // Kept now: events that run during the rewrite may start another fetch.
        page.ContentType = Download.ContentType;
        page.Validators = {Download.ETag, Download.LastModified};
        std::string newText;
        std::string footer;
        if (!PreparePage(name, address, progress, threshold, page, newText, footer))
            return true;
        Stage("Delivering Site", progress, name);
        const TSettings settings = host_.CurrentSettings();
        if (!Composer.ComposeAndSend(settings.Server, settings.DestEmail, settings.Subject + ": " + name, page.Text,
                                     footer, true, nullptr,
                                     ChooseSender(settings.SenderAddress, settings.DestEmail), false, interactive, true,
                                     page.ContentType))
            throw ESiteError("Web site delivery error");
        Delivered(name, newText, page.Validators);
        return true;
    } catch (const std::exception& e) {
        return SiteFailed(name, interactive, e);
    }
}

bool TSiteMonitor::PreparePage(const std::string& name, const std::string& address, const std::string& progress,
                               int threshold, TFetchedPage& fetched, std::string& newText, std::string& footer)
{
    std::string& page = fetched.Text;
    const std::string storedPath = StoredPagePath(name);
    std::optional<std::string> storedText;
    if (fetched.NotModified) {
        // The server says the page is still the stored copy.
        if (threshold != ThresholdAlways && FileExistsAt(storedPath)) {
            log_.AddToLog(name + " unchanged (0), Skipping");
            Stage("Skipping Site", progress, name);
            return false;
        }
        // Asked conditionally, yet to be delivered whatever it holds (the
        // default choice became "every time" meanwhile): the stored copy
        // is the page.
        storedText = ReadWholeFile(storedPath);
        if (!storedText)
            throw ESiteError("Site Download Error");
        page = *storedText;
    }
    if (threshold != ThresholdAlways && FileExistsAt(storedPath)) {
        storedText = ReadWholeFile(storedPath);
        if (!storedText)
            throw ESiteError("Cannot read " + storedPath + ": " + std::strerror(errno));
        std::string value;
        // The measure reads the page as if in its stored form (CR LF
        // after every line) without making that form.
        if (WatchedPageUnchanged(log_, name, host_.Sites().OptionsOf(name), page, *storedText, threshold, value)) {
            log_.AddToLog(name + " unchanged (" + value + "), Skipping");
            Stage("Skipping Site", progress, name);
            return false;
        }
        log_.AddToLog(name + " has changed (" + value + "), Delivering");
    } else {
        log_.AddToLog(name + " processed, Delivering");
    }

    // Kept as one text, not as a list of lines: a page of millions of
    // short lines would take dozens of times its size as a list.
    newText = CrLfLines(page);
    Stage("Processing Site", progress, name);
    const bool rewritten = Rewriter.RewritePage(address, page);
    Rewriter.ForgetPage();
    if (!rewritten) {
        // A page too large to mail says so; other failures keep their
        // one fixed text.
        if (Rewriter.LastTooLarge)
            throw ESiteError("HTML Parsing Error: " + Rewriter.LastError);
        throw ESiteError("HTML Parsing Error");
    }
    footer = Footer(name);
    if (host_.CurrentSettings().MarkChanges)
        footer = MarkChanges(name, storedPath, storedText, fetched.ContentType, page, footer);
    return true;
}

std::string TSiteMonitor::MarkChanges(const std::string& name, const std::string& storedPath,
                                      std::optional<std::string>& storedText, const std::string& contentType,
                                      std::string& page, const std::string& footer)
{
    // A send that ignores the threshold has not read the copy yet.
    if (!storedText && FileExistsAt(storedPath)) {
        storedText = ReadWholeFile(storedPath);
        // A copy that is there but cannot be read tells nothing true.
        if (!storedText)
            return footer;
    }
    TChangeMarking how;
    how.SiteName = name;
    how.HttpContentType = contentType;
    if (storedText)
        how.Since = DateTimeText(FileDateOf(storedPath));
    const TChangeSummary summary = MarkPageChanges(page, storedText ? &*storedText : nullptr, how);
    return PlainWithSummary(footer, summary.Plain);
}

std::string TSiteMonitor::Footer(const std::string& name) const
{
    return "\"" + name + "\" sent from " + ProductName + " at " + DateTimeText(clock_.Now()) + "\r\n" + ProductName +
           " is free software from " + MakerName + ": " + MakerWebAddress;
}

void TSiteMonitor::Delivered(const std::string& name, const std::string& newText, const TPageValidators& validators)
{
    // The raw page, not the rewritten one, is what the next check compares with.
    StoreSitePage(StoredPagePath(name), newText, validators);
    if (host_.WindowVisible() && host_.CurrentSettings().ShowDeliveredDates)
        host_.RedrawSiteList();
    Flags.DeliveredWhileBusy = true;
}

void TSiteMonitor::StoreSitePage(const std::string& path, const std::string& text, const TPageValidators& validators)
{
    // The page folder was made at start; it is made again if it went since.
    if (pageFolder_ != dataFolder_)
        ForceFolder(pageFolder_);
    // The old copy's validators go first: whatever stops this save half
    // way leaves a page that the next check fetches whole.
    RemoveValidators(path);
    if (!WriteFileAtomic(path, text, std::nullopt, passPages_))
        throw EStoreError("Cannot write " + path + ": " + std::strerror(errno));
    // Without them the next check only fetches the whole page again.
    WriteValidators(path, text.size(), validators, passPages_);
}

void TSiteMonitor::RemoveStoredPage(const std::string& name)
{
    // A name the pass refuses never had a stored page; one like "../x"
    // would name a file outside the page folder.
    if (!SiteNameError(name).empty())
        return;
    const std::string path = StoredPagePath(name);
    std::remove(path.c_str());
    RemoveValidators(path);
    std::remove(SiteChecksPath(name).c_str());
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
    RemoveAtomicWriteLeftovers(pageFolder_, ".http");
}

bool TSiteMonitor::SendSiteOfIndex(int index, bool interactive)
{
    TSiteList& sites = host_.Sites();
    if (index < 0 || index >= sites.Count())
        return false;
    const std::string entry = sites.Entry(index);
    if (FirstSiteOfName(sites, SiteNameOf(entry)) != index) {
        // It would be compared with, and would replace, the first one's page.
        lastPass_ = TPassResult{};
        host_.AddToLog(DuplicateSiteText(SiteNameOf(entry)));
        if (interactive)
            host_.MessageBox(DuplicateSiteText(SiteNameOf(entry)) + ".", TMsgKind::Information, TMsgButtons::OK);
        return false;
    }
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
    // Sites of one name share one stored page, so a later one would be
    // compared with the first one's page and mailed at every pass: only the
    // first of a name is fetched and checked.
    std::unordered_set<std::string> names;
    std::vector<bool> laterOfName(static_cast<std::size_t>(count), false);
    for (int i = 0; i < count; ++i)
        laterOfName[static_cast<std::size_t>(i)] = !names.insert(SiteNameOf(sites, i)).second;
    // Every ticked site's page is asked for at once; the pass takes them in
    // list order, and later pages keep arriving while it works on one.
    TFetchPool pool(FetchLimits(), &fetchShare_);
    std::vector<std::string> entryOf(static_cast<std::size_t>(count));
    std::vector<int> fetchOf(static_cast<std::size_t>(count), -1);
    for (int i = 0; i < count; ++i) {
        if (!SiteSelected(sites, i) || laterOfName[static_cast<std::size_t>(i)])
            continue;
        entryOf[static_cast<std::size_t>(i)] = sites.Entry(i);
        fetchOf[static_cast<std::size_t>(i)] = QueueFetch(pool, entryOf[static_cast<std::size_t>(i)]);
    }
    // However the pass ends: sessions still open are dropped (mails the
    // server took stay taken) and every line written, in list order.
    TScopeExit leave([this] {
        mailPool_.reset();
        // Dropped sessions report nothing: what they held waits no more.
        mailsWaiting_ = 0;
        mailBytesWaiting_ = 0;
        FlushSiteLogs(true);
        log_.Sink = nullptr;
    });
    // The list may shrink while events are processed during a site.
    bool stopped = false;
    for (int i = 0; i < count && i < sites.Count(); ++i) {
        if (!SiteSelected(sites, i))
            continue;
        // What the user did while the last site was on its way is seen
        // before the next one begins.
        PassWait(pool, 0);
        if (Flags.AbortRequested) {
            stopped = true;
            break;
        }
        if (i >= sites.Count() || !SiteSelected(sites, i))
            continue;
        const auto at = static_cast<std::size_t>(i);
        const std::string entry = sites.Entry(i);
        if (laterOfName[at]) {
            TSiteLog& siteLog = BeginSiteLog();
            log_.AddToLog(DuplicateSiteText(SiteNameOf(entry)));
            EndSiteLog(siteLog);
            continue;
        }
        // Edited (or ticked) since the pass began: its page is asked for now.
        if (entry != entryOf[at] || fetchOf[at] < 0) {
            if (fetchOf[at] >= 0)
                pool.Cancel(fetchOf[at]);
            entryOf[at] = entry;
            fetchOf[at] = QueueFetch(pool, entry);
        }
        char progress[48];
        std::snprintf(progress, sizeof progress, " %d of %d", i + 1, sites.Count());
        ++lastPass_.Processed;
        PassSite(pool, fetchOf[at], SiteNameOf(entry), SiteAddressOf(entry), progress, SiteThresholdOf(entry));
    }
    // Nothing more is fetched. The mails of the sites whose turn has come
    // go out, also when the pass stops: a site whose turn came is finished,
    // as it always was; the sessions end once they have sent them.
    pool.CancelAll();
    if (mailPool_) {
        mailPool_->Finish();
        while (!mailPool_->Done())
            PassWait(pool, Download.PollMilliseconds);
    }
    mailPool_.reset();
    FlushSiteLogs(true);
    log_.Sink = nullptr;
    if (stopped)
        return;
    flush();
    lastPass_.RanToEnd = true;
    host_.AddLogSeparator();
}

TFetchLimits TSiteMonitor::FetchLimits() const
{
    return {Download.MaxBodyBytes, Download.ConnectTimeoutSeconds, Download.SilenceTimeoutSeconds,
            Download.WholeFetchSeconds, host_.CurrentSettings().UserAgent};
}

int TSiteMonitor::QueueFetch(TFetchPool& pool, const std::string& entry)
{
    const std::string name = SiteNameOf(entry);
    const std::string address = SiteAddressOf(entry);
    if (address.empty() || !SiteNameError(name).empty())
        return -1;
    int threshold = SiteThresholdOf(entry);
    if (threshold == ThresholdDefault)
        threshold = DefaultThreshold();
    // A site delivered every time gains nothing from asking whether its
    // page changed.
    TPageValidators validators;
    if (threshold != ThresholdAlways)
        if (auto kept = ReadValidators(StoredPagePath(name)))
            validators = std::move(*kept);
    return pool.Add(address, validators);
}

TSiteMonitor::TSiteLog& TSiteMonitor::BeginSiteLog()
{
    siteLogs_.emplace_back();
    log_.Sink = &siteLogs_.back().Lines;
    return siteLogs_.back();
}

void TSiteMonitor::EndSiteLog(TSiteLog& site)
{
    site.Ended = true;
    FlushSiteLogs();
}

void TSiteMonitor::FlushSiteLogs(bool all)
{
    while (!siteLogs_.empty() && (all || (siteLogs_.front().Ended && siteLogs_.front().Waiting == 0))) {
        // The sink may point at these lines; they are moved out first.
        const std::vector<std::string> lines = std::move(siteLogs_.front().Lines);
        if (log_.Sink == &siteLogs_.front().Lines)
            log_.Sink = nullptr;
        siteLogs_.pop_front();
        for (const auto& line : lines)
            host_.AddToLog(line);
    }
}

void TSiteMonitor::PassWait(TFetchPool& pool, int waitMs)
{
    std::vector<TWaitFd> mailFds;
    if (mailPool_) {
        for (const TNetPollFd& fd : mailPool_->PollFds())
            mailFds.push_back({fd.Fd, fd.Events});
        const int due = mailPool_->TimeoutMs();
        if (due >= 0 && due < waitMs)
            waitMs = due;
    }
    pool.Pump(waitMs, mailFds);
    if (mailPool_)
        mailPool_->Step();
    host_.ProcessMessages();
}

void TSiteMonitor::PassSite(TFetchPool& pool, int fetch, const std::string& name, const std::string& address,
                            const std::string& progress, int threshold)
{
    if (threshold == ThresholdDefault)
        threshold = DefaultThreshold();
    TSiteLog& siteLog = BeginSiteLog();
    bool stopped = false;
    try {
        CheckSite(name, address);
        Stage("Downloading Site", progress, name);
        pool.SetWanted(fetch);
        // Events run between the network's turns, as they did between the
        // blocks of one fetch; a stop asked for meanwhile ends every fetch.
        do {
            PassWait(pool, pool.Done(fetch) ? 0 : Download.PollMilliseconds);
            // What ended meanwhile logged to its own site.
            log_.Sink = &siteLog.Lines;
            if (Flags.AbortRequested)
                pool.CancelAll();
        } while (!pool.Done(fetch));
        TFetchedPage page = pool.Take(fetch);
        if (!page.Error.empty())
            log_.AddToLog("HTML download error: " + page.Error);
        // A fetch the user stopped says nothing about the site.
        stopped = page.Cancelled;
        if (page.Cancelled || (!page.NotModified && page.Text.empty()))
            throw ESiteError("Site Download Error", page.FailureReason.empty() ? page.Error : page.FailureReason);
        std::string newText;
        std::string footer;
        if (PreparePage(name, address, progress, threshold, page, newText, footer)) {
            Stage("Delivering Site", progress, name);
            const TSettings settings = host_.CurrentSettings();
            try {
                Composer.ComposeMessage(settings.DestEmail, settings.Subject + ": " + name, page.Text, footer,
                                        true, nullptr, ChooseSender(settings.SenderAddress, settings.DestEmail), false,
                                        page.ContentType);
            } catch (const std::exception& e) {
                log_.AddToLog(std::string("Sending error: ") + e.what());
                throw ESiteError("Web site delivery error", MailFailureReason(e.what()));
            }
            SubmitPage(pool, name, address, std::move(newText), std::move(page.Validators));
            return;
        }
        NoteCheck(siteLog, name, address, true, {});
    } catch (const std::exception& e) {
        SiteFailed(name, false, e);
        ++lastPass_.Failed;
        if (!stopped)
            NoteCheck(siteLog, name, address, false, FailureReasonOf(e));
    }
    EndSiteLog(siteLog);
}

void TSiteMonitor::SubmitPage(TFetchPool& pool, const std::string& name, const std::string& address,
                              std::string newText, TPageValidators validators)
{
    TSiteLog& siteLog = siteLogs_.back();
    // Raised where the blocking send raises it, so it reads the same.
    auto fail = [&](const std::string& reason) {
        log_.AddToLog("Delivery error: " + reason);
        SiteFailed(name, false, ESiteError("Web site delivery error"));
        ++lastPass_.Failed;
        NoteCheck(siteLog, name, address, false, MailFailureReason(reason));
        EndSiteLog(siteLog);
    };
    const TSettings settings = host_.CurrentSettings();
    if (const std::string portError = SMTPPortError(settings.Server.Port); !portError.empty())
        return fail(portError);
    TNetSMTPSubmission submission;
    try {
        submission = SMTPSubmissionOf(Composer.MsgSend, Composer.SMTP.MessageWriter, Composer.SMTP.MailAgent);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    // The sessions are behind: the pages after this one wait.
    if (mailPool_)
        while ((mailsWaiting_ >= MaxMailsWaiting || (mailsWaiting_ > 0 && mailBytesWaiting_ >= MaxMailBytesWaiting)) &&
               !mailPool_->Done())
            PassWait(pool, Download.PollMilliseconds);
    // The site's lines wait in its log until the server has answered; the
    // sites after it go on meanwhile.
    TSiteLog* log = &siteLog;
    const std::int64_t bytes = static_cast<std::int64_t>(submission.Data ? submission.Data->size() : 0) +
                               static_cast<std::int64_t>(newText.size());
    ++mailsWaiting_;
    mailBytesWaiting_ += bytes;
    PassMail().Submit(std::move(submission), [this, log, name, address, bytes, newText = std::move(newText),
                                              validators = std::move(validators)](const TNetSMTPOutcome& outcome) {
        --mailsWaiting_;
        mailBytesWaiting_ -= bytes;
        std::vector<std::string>* const before = log_.Sink;
        log_.Sink = &log->Lines;
        if (outcome.Sent) {
            try {
                Delivered(name, newText, validators);
                NoteCheck(*log, name, address, true, {});
            } catch (const std::exception& e) {
                SiteFailed(name, false, e);
                ++lastPass_.Failed;
                NoteCheck(*log, name, address, false, FailureReasonOf(e));
            }
        } else {
            log_.AddToLog("Delivery error: " + outcome.ErrorText());
            SiteFailed(name, false, ESiteError("Web site delivery error"));
            ++lastPass_.Failed;
            NoteCheck(*log, name, address, false, MailFailureReason(outcome.ErrorText()));
        }
        // The turn's own site keeps its sink; this one's lines are done.
        log_.Sink = before == &log->Lines ? nullptr : before;
        EndSiteLog(*log);
    });
}

TNetSMTPPool& TSiteMonitor::PassMail()
{
    if (!mailPool_) {
        const TSettings settings = host_.CurrentSettings();
        TNetSMTPServer server;
        server.Host = settings.Server.Host;
        server.Port = settings.Server.Port;
        server.Security = settings.Server.Security;
        server.CAFile = settings.Server.CAFile;
        server.AuthenticationType = settings.Server.Logon ? atLogin : atNone;
        server.Username = settings.Server.Username;
        server.Password = settings.Server.Password;
        // A time-out of 0 or below is the default, never "wait for ever".
        server.TimeoutMs = std::int64_t{EffectiveTimeOutSeconds(settings.Server)} * 1000;
        mailPool_ = std::make_unique<TNetSMTPPool>(server);
    }
    return *mailPool_;
}

void TSiteMonitor::NoteCheck(TSiteLog& site, const std::string& name, const std::string& address, bool ok,
                             const std::string& reason)
{
    // A name that cannot name a file has no record to keep.
    if (!SiteNameError(name).empty())
        return;
    const std::string path = SiteChecksPath(name);
    if (ok && NoteGoodCheck(path, clock_.Now()))
        return;
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
        log_.AddToLog("Cannot write " + path + ": " + std::strerror(errno));
    if (!ok && checks.Failures == FailuresBeforeNotice)
        ReportFailingSite(site, name, address, reason.empty() ? "Site Download Error" : reason, checks);
}

void TSiteMonitor::ReportFailingSite(TSiteLog& site, const std::string& name, const std::string& address,
                                     const std::string& reason, const TSiteChecks& checks)
{
    const std::string count = std::to_string(FailuresBeforeNotice);
    log_.AddToLog(name + " has failed " + count + " checks in a row: " + reason);
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
    // A notice that cannot be sent says why among the site's lines; it
    // counts for nothing.
    const TSettings settings = host_.CurrentSettings();
    if (const std::string portError = SMTPPortError(settings.Server.Port); !portError.empty()) {
        log_.AddToLog("Delivery error: " + portError);
        return;
    }
    TNetSMTPSubmission submission;
    try {
        Composer.ComposeMessage(settings.DestEmail, title, body, "", false, nullptr,
                                ChooseSender(settings.SenderAddress, settings.DestEmail), false);
        submission = SMTPSubmissionOf(Composer.MsgSend, Composer.SMTP.MessageWriter, Composer.SMTP.MailAgent);
    } catch (const std::exception& e) {
        log_.AddToLog(std::string("Sending error: ") + e.what());
        return;
    }
    // The site's lines, the notice's outcome last among them, wait for the
    // server's answer.
    TSiteLog* log = &site;
    ++log->Waiting;
    ++mailsWaiting_;
    PassMail().Submit(std::move(submission), [this, log](const TNetSMTPOutcome& outcome) {
        --mailsWaiting_;
        if (!outcome.Sent) {
            std::vector<std::string>* const before = log_.Sink;
            log_.Sink = &log->Lines;
            log_.AddToLog("Delivery error: " + outcome.ErrorText());
            log_.Sink = before == &log->Lines ? nullptr : before;
        }
        --log->Waiting;
        FlushSiteLogs();
    });
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
