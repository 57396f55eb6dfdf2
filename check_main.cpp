// vendrel-check: one check pass over the user's data folder, for servers, cron
// and systemd timers. It runs the pass exactly as the tray program's timer
// does, prints the activity log as it is written, and never writes the
// settings or the site list.

#include "delivery/MailComposer.h"
#include "engine/DataFolder.h"
#include "engine/HeadlessHost.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "platform/Memory.h"
#include "platform/Utilities.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <sys/stat.h>

namespace {

enum ExitStatus { Ok = 0, SiteFailed = 1, CannotStart = 2, NoConnection = 3 };

void Usage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: vendrel-check [--send NAME]\n"
                 "\n"
                 "Runs one check pass over the sites of Vendrel's data folder, exactly as the\n"
                 "tray program's scheduled check does, and prints the activity log.\n"
                 "\n"
                 "  --send NAME   deliver the first site of that name now, whatever changed\n"
                 "  --help        show this help\n"
                 "  --version     show the version\n"
                 "\n"
                 "Exit status: 0 every site was handled, 1 at least one site failed,\n"
                 "2 the check could not start, 3 no Internet connection (when the\n"
                 "\"Always check for an active Internet connection\" option is on).\n");
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "vendrel-check: %s\n", message.c_str());
    return CannotStart;
}

} // namespace

int main(int argc, char** argv)
{
    std::string sendName;
    bool send = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return Ok;
        }
        if (arg == "--version") {
            std::printf("vendrel-check %s\n", GetProductVersion().c_str());
            return Ok;
        }
        if (arg == "--send" && i + 1 < argc) {
            send = true;
            sendName = argv[++i];
            continue;
        }
        Usage(stderr);
        return CannotStart;
    }

    KeepFreedMemoryDuringPasses();
    TSystemClock clock;
    THeadlessHost host(clock);
    host.Log.OnLineAdded = [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    // Computed once; everything below is handed this folder.
    std::string dataFolder;
    try {
        dataFolder = DataFolder();
    } catch (const EDataFolderError& e) {
        return Fail(e.what());
    }
    const TSettingsFiles files = DefaultSettingsFiles(dataFolder);
    // Without a site list the load would seed one from "Source.dat" and write
    // it, and the tray program's own first start would then miss its seeding.
    struct stat st {};
    if (::stat(files.SitesPath().c_str(), &st) != 0 && errno == ENOENT)
        return Fail("there is no site list " + files.SitesPath() +
                    "\nStart Vendrel once, or create that file with one line per site: the name, 18 blanks, the\n"
                    "address in braces and the threshold (-2: the default sensitivity), for example\n"
                    "  News                  {http://www.example.com/}-2\n"
                    "A line that starts with \"*\" is a site that is not checked.");
    try {
        LoadSettingsFrom(files, host.Settings, host.SiteList);
    } catch (const std::exception& e) {
        return Fail("cannot read the settings in " + dataFolder + ": " + e.what());
    }
    if (const std::string problem = KeyringProblemText(host.Settings); !problem.empty() && host.Settings.Server.Logon)
        return Fail(problem);
    if (!IsValidDestEmail(host.Settings.DestEmail))
        return Fail("You have not specified a destination e-mail address for delivery of your sites.");
    if (host.Settings.Server.Host.empty())
        return Fail("You have not specified your SMTP server settings.");
    if (const std::string serverError = MailServerSettingsError(host.Settings.Server); !serverError.empty())
        return Fail(serverError + ".");

    TSiteMonitor monitor(host, clock, dataFolder);
    if (send) {
        int index = -1;
        for (int i = 0; i < host.SiteList.Count() && index < 0; ++i)
            if (SiteNameOf(host.SiteList, i) == sendName)
                index = i;
        if (index < 0)
            return Fail("no site named \"" + sendName + "\"");
        if (!monitor.SendSiteOfIndex(index, false)) {
            if (!monitor.LastPass().FolderError.empty())
                return Fail("cannot send from " + dataFolder + ": " + monitor.LastPass().FolderError);
            return monitor.LastPass().FolderBusy ? CannotStart : SiteFailed;
        }
        return Ok;
    }

    monitor.CheckForSites();
    const TPassResult& pass = monitor.LastPass();
    if (pass.NoConnection) {
        std::fprintf(stderr, "vendrel-check: no Internet connection\n");
        return NoConnection;
    }
    if (!pass.FolderError.empty())
        return Fail("cannot check the sites of " + dataFolder + ": " + pass.FolderError);
    if (pass.FolderBusy)
        return Fail("another Vendrel is checking the sites of " + dataFolder + "; try again later");
    return pass.Failed > 0 || !pass.RanToEnd ? SiteFailed : Ok;
}
