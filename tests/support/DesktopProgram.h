#pragma once

// The real program on a virtual X desktop, as the desktop tests start it: a
// copy of its own, a data folder of its own with one quiet site and a
// notification area asked for in the settings, and a network it may not use.
// Each test target defines VENDREL_PROGRAM, the program to copy.

#include "engine/SiteList.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/XDesktop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class TDesktopProgramTest : public ::testing::Test {
protected:
    // A desktop with or without a tray at first; needsTrayer: the case brings
    // a tray up later, so it skips without one. moreSettings: further keys of
    // the [Settings] section, each ending in CR LF.
    void Begin(bool withTray, bool needsTrayer, const std::string& moreSettings = {})
    {
        const std::string missing = TXDesktop::Missing(needsTrayer);
        if (!missing.empty())
            GTEST_SKIP() << missing << " is not installed";
        desktop_ = std::make_unique<TXDesktop>(withTray);
        ASSERT_TRUE(desktop_->Ready()) << "the virtual desktop did not come up";

        std::filesystem::create_directories(home_.DataFolder());
        WriteFile(home_.DataFolder() + "Sites.dat", MakeSiteEntry("Quiet", "http://127.0.0.1:9/", -2) + "\r\n");
        WriteFile(home_.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\n[Settings]\r\nDestEmail=me@example.test\r\n"
                  "ActiveNetConnection=False\r\nTrayIcon=True\r\n" +
                      moreSettings);
    }
    void TearDown() override
    {
        if (desktop_)
            TXDesktop::End(pid_);
        desktop_.reset();
    }

    void StartProgram(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{copy_.Path()};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = desktop_->Spawn(argv, {"QT_QPA_PLATFORM=xcb", "XDG_DATA_HOME=" + home_.Root() + "data",
                                      "XDG_CONFIG_HOME=" + home_.Root() + "config"});
    }

    TTempDataFolder home_;
    TProgramCopy copy_{VENDREL_PROGRAM, home_};
    std::unique_ptr<TXDesktop> desktop_;
    int pid_ = -1;
};
