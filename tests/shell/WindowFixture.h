#pragma once

// A main window over a temporary data folder: the test writes the user's
// files first, then starts the window as the program would.

#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "platform/Clock.h"
#include "shell/MainWindow.h"
#include "tests/shell/ModalAnswerer.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <memory>

class WindowFixture : public ::testing::Test {
protected:
    WindowFixture();
    ~WindowFixture() override;

    // Where the program keeps "Source.dat" and its documents in these tests.
    TSettingsFiles Files() const;
    // Settings with no Internet-connection test and no close question.
    static TSettings QuietSettings();
    void WriteUserFiles(const TSettings& settings, const TSiteList& sites);
    // Creates the window (as the program does) and shows it.
    TfrmMain& Start(bool show = true);
    std::string SettingsText() const;
    // A site's stored page in the test's data folder.
    std::string StoredPagePath(const std::string& name) const;

    // What the window is told of the desktop's notification area.
    bool trayAvailable = true;
    TTempDataFolder tmp;
    TSystemClock clock;
    TModalAnswerer boxes;
    std::unique_ptr<TfrmMain> w;
};

TSiteList MakeSites(std::initializer_list<std::tuple<std::string, std::string, bool>> sites);
