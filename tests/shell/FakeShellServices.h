#pragma once

// The main window's side of the dialogs without a window: a real engine over
// the headless host, an image list of plain coloured squares, and a record of
// every message box and opened document.

#include "engine/HeadlessHost.h"
#include "engine/Sensitivity.h"
#include "engine/SiteMonitor.h"
#include "shell/MessageBoxes.h"
#include "shell/ShellServices.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDataFolder.h"

#include <QColor>
#include <QDesktopServices>
#include <QObject>
#include <QPixmap>
#include <QUrl>

#include <map>
#include <string>
#include <vector>

class TFakeShellServices : public TShellServices {
public:
    TFakeShellServices() : Host(Clock), Monitor_(Host, Clock, Folder_.DataFolder()) {}

    TManualClock Clock;
    THeadlessHost Host;
    QString Folder = "/nonexistent/program/";

    QIcon Image(int index) const override
    {
        auto it = images_.find(index);
        if (it == images_.end()) {
            QPixmap square(16, 16);
            square.fill(QColor::fromHsv((index * 37) % 360, 200, 200));
            it = images_.emplace(index, QIcon(square)).first;
        }
        return it->second;
    }
    QStringList SensitivityItems() const override
    {
        QStringList items;
        for (const char* item : ::SensitivityItems)
            items << item;
        return items;
    }
    int DefaultThreshold() const override { return ThresholdOfChoice(Host.Settings.Sensitivity); }
    QString DestEmail() const override { return QString::fromStdString(Host.Settings.DestEmail); }
    TMailServerSettings MailServer() const override { return Host.Settings.Server; }
    void SetMailServer(const TMailServerSettings& s) override { Host.Settings.Server = s; }
    TSiteMonitor& Monitor() override { return Monitor_; }
    QString ProgramFolder() const override { return Folder; }

private:
    TTempDataFolder Folder_;
    TSiteMonitor Monitor_;
    mutable std::map<int, QIcon> images_;
};

struct TRecordedBox {
    std::string Text;
    TMsgKind Kind;
    TMsgButtons Buttons;
};

// Answers every message box while it lives and remembers what was shown.
class TBoxRecorder {
public:
    explicit TBoxRecorder(TModalResult answer = TModalResult::OK)
    {
        previous_ = SetMessageBoxHandler([this, answer](QWidget*, const std::string& text, TMsgKind kind,
                                                        TMsgButtons buttons) {
            Boxes.push_back({text, kind, buttons});
            return answer;
        });
    }
    ~TBoxRecorder() { SetMessageBoxHandler(previous_); }
    TBoxRecorder(const TBoxRecorder&) = delete;
    TBoxRecorder& operator=(const TBoxRecorder&) = delete;

    std::vector<TRecordedBox> Boxes;

private:
    TMessageBoxHandler previous_;
};

// Takes the desktop's "open" for the schemes given while it lives.
class TOpenedUrls : public QObject {
    Q_OBJECT
public:
    explicit TOpenedUrls(QStringList schemes) : schemes_(std::move(schemes))
    {
        for (const QString& s : schemes_)
            QDesktopServices::setUrlHandler(s, this, "Open");
    }
    ~TOpenedUrls() override
    {
        for (const QString& s : schemes_)
            QDesktopServices::unsetUrlHandler(s);
    }

    QList<QUrl> Urls;

public slots:
    void Open(const QUrl& url) { Urls << url; }

private:
    QStringList schemes_;
};
