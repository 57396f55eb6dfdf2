// Pictures of the window for the README, taken on a real X display (Xvfb):
// each tab of the main window, with a few sites and some log lines.
// Usage: vendrel-screenshots OUTPUT_FOLDER

#include "engine/DataFolder.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "shell/MainWindow.h"
#include "tests/support/TempDataFolder.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

namespace {

void Save(QWidget& window, const QString& path)
{
    QApplication::processEvents();
    // The frame is the window manager's; the client area is ours.
    if (!window.grab().save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: vendrel-screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);
    TTempDataFolder tmp;

    TSettings s;
    s.DestEmail = "jane@example.com";
    s.Server.Host = "smtp.example.com";
    s.OncePerDay = false;
    s.CheckFrequency = 3;
    s.ShowDeliveredDates = true;
    s.ActiveNetConnection = false;
    TSiteList sites;
    sites.Add(MakeSiteEntry("Debian News", "https://www.debian.org/News/", -2), true);
    sites.Add(MakeSiteEntry("LWN.net weekly edition, with a name far too long for its row", "https://lwn.net/", -2),
              true);
    sites.Add(MakeSiteEntry("Qt Blog", "https://www.qt.io/blog", 30), false);
    sites.Add(MakeSiteEntry("Local weather", "http://weather.example/today", 500), true);
    sites.Add(MakeSiteEntry("Town council minutes", "http://council.example/minutes", -1), true);
    TSettingsFiles files = DefaultSettingsFiles(DataFolder());
    files.ProgramFolder = tmp.Root();
    SaveSettingsTo(files, s, sites);
    {
        FILE* page = std::fopen(StoredPagePath(PageFolder(files.DataFolder), "Debian News").c_str(), "w");
        if (page) {
            std::fputs("<html></html>", page);
            std::fclose(page);
        }
    }

    TSystemClock clock;
    TfrmMain w(clock, files);
    w.AddToLog("Debian News processed, Delivering");
    w.AddToLog("LWN.net weekly edition, with a name far too long for its row unchanged (3), Skipping");
    w.AddToLog("Error processing Local weather: Site Download Error");
    w.AddLogSeparator();
    // The usual desktop, with a notification area.
    w.TrayAvailable = [] { return true; };
    w.show();
    w.SetCurrentRow(0);
    const char* names[] = {"main-sites.png", "main-settings.png", "main-logging.png"};
    for (int tab = 0; tab < 3; ++tab) {
        w.pgcMain->setCurrentIndex(tab);
        Save(w, out + "/" + names[tab]);
    }
    // A desktop without one: the Settings tab says what OK and Cancel do.
    w.TrayAvailable = [] { return false; };
    w.hide();
    w.show();
    w.pgcMain->setCurrentIndex(1);
    Save(w, out + "/main-settings-no-tray.png");

    // The pictures themselves, large enough to judge: the image list at 16
    // and 32 pixels, then the tray images of both sets at each panel size.
    QImage sheet(16 * 40 + 8, 300, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    int x = 8;
    for (int i = 0; i < TImageList::Count; ++i) {
        const QIcon icon = w.Images().Image(i);
        if (icon.isNull())
            continue;
        p.drawPixmap(x, 8, icon.pixmap(16, 16));
        p.drawPixmap(x, 30, icon.pixmap(32, 32));
        x += 40;
    }
    int y = 80;
    for (bool low : {true, false}) {
        x = 8;
        for (TTrayImage image : {TTrayImage::New, TTrayImage::Normal, TTrayImage::Busy}) {
            for (int size : {16, 22, 24, 32}) {
                p.drawPixmap(x, y, TImageList::TrayPixmap(image, low, size));
                x += size + 6;
            }
            x += 20;
        }
        p.drawPixmap(x, y, TImageList::TrayPixmap(TTrayImage::Normal, low, 64));
        y += 80;
    }
    p.end();
    sheet.save(out + "/images.png");
    std::printf("%s\n", qPrintable(out + "/images.png"));
    return 0;
}
