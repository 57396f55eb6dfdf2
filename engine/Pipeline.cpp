#include "engine/ChangeMeasure.h"
#include "engine/DataFolder.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "platform/AtomicFile.h"
#include "platform/Connection.h"
#include "platform/Text.h"
#include "platform/Utilities.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace {

class ESiteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool FileExistsAt(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

TSiteMonitor::TSiteMonitor(TWindowHost& host, const TClock& clock)
    : Download(host, Flags), Rewriter(host), Composer(host), IsConnected(IsInternetConnected), host_(host),
      clock_(clock)
{
}

int TSiteMonitor::DefaultThreshold() const
{
    return ThresholdOfChoice(host_.CurrentSettings().Sensitivity);
}

bool TSiteMonitor::ProcessSite(const std::string& name, const std::string& address, const std::string& progress,
                               bool interactive, int threshold)
{
    Flags.AbortRequested = false;
    if (threshold == ThresholdDefault)
        threshold = DefaultThreshold();
    auto stage = [&](const char* word) { SetDisplay(word + progress + ": " + name, word + progress); };
    try {
        if (address.empty())
            throw ESiteError("No Site Specified.");

        stage("Downloading Site");
        std::string page;
        Download.DownloadPage(address, page);
        if (page.empty())
            throw ESiteError("Site Download Error");
        // Kept now: events that run during the rewrite may start another fetch.
        const std::string contentType = Download.ContentType;

        TLines newLines = SplitLines(page);
        const std::string storedPath = StoredPagePath(name);
        if (threshold != ThresholdAlways && FileExistsAt(storedPath)) {
            const auto storedText = ReadWholeFile(storedPath);
            if (!storedText)
                throw ESiteError("Cannot read " + storedPath + ": " + std::strerror(errno));
            std::string value;
            if (SiteUnchanged(newLines, SplitLines(*storedText), threshold, value)) {
                host_.AddToLog(name + " unchanged (" + value + "), Skipping");
                stage("Skipping Site");
                return true;
            }
            host_.AddToLog(name + " has changed (" + value + "), Delivering");
        } else {
            host_.AddToLog(name + " processed, Delivering");
        }

        stage("Processing Site");
        if (!Rewriter.RewritePage(address, page))
            throw ESiteError("HTML Parsing Error");

        stage("Delivering Site");
        const TSettings& settings = host_.CurrentSettings();
        const std::string footer = "\"" + name + "\" sent from " + ProductName + " at " +
                                   DateTimeText(clock_.Now()) + "\r\n" + ProductName +
                                   " is free software from " + MakerName + ": " + MakerWebAddress;
        if (!Composer.ComposeAndSend(settings.DestEmail, settings.Subject + ": " + name, page, footer, true, nullptr,
                                     ChooseSender(settings.SenderAddress, settings.DestEmail), false, interactive,
                                     true, contentType))
            throw ESiteError("Web site delivery error");

        // The raw page, not the rewritten one, is what the next check compares with.
        StoreSitePage(storedPath, JoinLines(newLines));
        if (host_.WindowVisible() && settings.ShowDeliveredDates)
            host_.RedrawSiteList();
        Flags.DeliveredWhileBusy = true;
        return true;
    } catch (const std::exception& e) {
        host_.AddToLog("Error processing " + name + ": " + e.what());
        if (interactive)
            host_.MessageBox(name + " Error: " + e.what(), TMsgKind::Error, TMsgButtons::OK);
        return false;
    }
}

void TSiteMonitor::StoreSitePage(const std::string& path, const std::string& text)
{
    if (!WriteFileAtomic(path, text))
        throw ESiteError("Cannot write " + path + ": " + std::strerror(errno));
}

bool TSiteMonitor::SendSiteOfIndex(int index, bool interactive)
{
    TSiteList& sites = host_.Sites();
    if (index < 0 || index >= sites.Count())
        return false;
    const std::string entry = sites.Entry(index);
    const TCursor previous = host_.Cursor();
    host_.SetCursor(TCursor::HourGlass);
    bool ok = false;
    lastPass_ = TPassResult{};
    if (!EnterFolderLock()) {
        lastPass_.FolderBusy = true;
        host_.AddToLog("Another Vendrel is checking these sites; " + SiteNameOf(entry) + " was not sent");
        if (interactive)
            host_.MessageBox("Another Vendrel is checking these sites; try again when it has finished.",
                             TMsgKind::Warning, TMsgButtons::OK);
        host_.SetCursor(previous);
        return false;
    }
    SetProcessing(true);
    try {
        ok = ProcessSite(SiteNameOf(entry), SiteAddressOf(entry), "", interactive, ThresholdAlways);
    } catch (...) {
        SetProcessing(false);
        LeaveFolderLock();
        host_.SetCursor(previous);
        throw;
    }
    SetProcessing(false);
    LeaveFolderLock();
    host_.SetCursor(previous);
    lastPass_.RanToEnd = true;
    lastPass_.Processed = 1;
    lastPass_.Failed = ok ? 0 : 1;
    return ok;
}

bool TSiteMonitor::EnterFolderLock()
{
    // A pass started through event processing during another belongs to this
    // process and goes on (it cancels the running fetch); only another process
    // is kept out.
    if (folderLockDepth_ == 0 && !folderLock_.TryLock(DataFolder()))
        return false;
    ++folderLockDepth_;
    return true;
}

void TSiteMonitor::LeaveFolderLock()
{
    if (folderLockDepth_ > 0 && --folderLockDepth_ == 0)
        folderLock_.Unlock();
}
