// Until the window lands, the program loads the user's settings and site list
// and says where it keeps them.

#include "engine/DataFolder.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"

#include <cstdio>
#include <exception>

int main()
{
    const TSettingsFiles files = DefaultSettingsFiles(DataFolder());
    TSettings settings;
    TSiteList sites;
    std::printf("Vendrel data folder: %s\n", files.DataFolder.c_str());
    try {
        LoadSettingsFrom(files, settings, sites);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "An error was encountered loading your settings: %s\n", e.what());
        return 1;
    }
    std::printf("%d site(s), %s\n", sites.Count(),
                settings.Server.Host.empty() ? "no mail server set" : ("mail server " + settings.Server.Host).c_str());
    for (int i = 0; i < sites.Count(); ++i)
        std::printf("  [%c] %s  %s\n", sites.Checked(i) ? 'x' : ' ', SiteNameOf(sites, i).c_str(),
                    SiteAddressOf(sites, i).c_str());
    return 0;
}
