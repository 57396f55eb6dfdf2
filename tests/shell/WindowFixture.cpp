#include "tests/shell/WindowFixture.h"

#include "engine/DataFolder.h"

#include <QApplication>

WindowFixture::WindowFixture()
{
    // Touched once so that the data folder exists before the files go in.
    DataFolder();
    WriteFile(tmp.Root() + "Source.dat", "");
}

WindowFixture::~WindowFixture()
{
    w.reset();
    QApplication::processEvents();
}

TSettingsFiles WindowFixture::Files() const
{
    TSettingsFiles files = DefaultSettingsFiles(DataFolder());
    files.ProgramFolder = tmp.Root();
    return files;
}

TSettings WindowFixture::QuietSettings()
{
    TSettings s;
    s.ActiveNetConnection = false;
    s.ConfirmClose = false;
    return s;
}

void WindowFixture::WriteUserFiles(const TSettings& settings, const TSiteList& sites)
{
    SaveSettingsTo(Files(), settings, sites);
}

TfrmMain& WindowFixture::Start(bool show)
{
    w = std::make_unique<TfrmMain>(clock, Files());
    w->TrayAvailable = [this] { return trayAvailable; };
    if (show)
        w->show();
    QApplication::processEvents();
    return *w;
}

std::string WindowFixture::SettingsText() const
{
    return FileExists(Files().SettingsPath()) ? ReadFile(Files().SettingsPath()) : std::string();
}

std::string WindowFixture::StoredPagePath(const std::string& name) const
{
    return ::StoredPagePath(PageFolder(Files().DataFolder), name);
}

TSiteList MakeSites(std::initializer_list<std::tuple<std::string, std::string, bool>> sites)
{
    TSiteList list;
    for (const auto& [name, address, ticked] : sites)
        list.Add(MakeSiteEntry(name, address, -2), ticked);
    return list;
}
