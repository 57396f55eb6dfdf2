// How the window comes up for each first argument, with and without a
// notification area on the desktop, and how it ends when asked from outside.

#include "tests/shell/WindowFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

namespace {

class WindowComeUp : public WindowFixture {
protected:
    TfrmMain& StartWith(const QString& firstArgument)
    {
        TSettings s = QuietSettings();
        s.DestEmail = "me@example.org";
        s.Server.Host = "mail.example.org";
        s.OncePerDay = false;
        s.CheckFrequency = 3;
        s.CheckFrequencyScale = 1;
        s.TrayIcon = true;
        WriteUserFiles(s, MakeSites({{"A", "http://127.0.0.1:9/", true}}));
        TfrmMain& f = Start(false);
        f.ComeUp(firstArgument);
        QApplication::processEvents();
        return f;
    }
};

} // namespace

TEST_F(WindowComeUp, EveryArgumentChecksSoonWhicheverWayTheWindowComesUp)
{
    struct TCase {
        QString Argument;
        bool Tray;
        bool Visible;
        bool Minimised;
        bool Armed;
    };
    const TCase cases[] = {
        {"", true, true, false, false},          // the user started it: no check until OK
        {"/start", true, false, false, true},    // the log-on start lives in the tray
        {"/START", true, false, false, true},
        {"foo", true, true, false, true},        // shown, and still checking
        {"", false, true, false, false},
        {"/Start", false, true, true, true},     // no tray: a taskbar button instead
        {"foo", false, true, false, true},
    };
    for (const TCase& c : cases) {
        trayAvailable = c.Tray;
        TfrmMain& f = StartWith(c.Argument);
        const std::string what = "\"" + c.Argument.toStdString() + "\"" + (c.Tray ? " with" : " without") + " a tray";
        EXPECT_EQ(f.isVisible(), c.Visible) << what;
        EXPECT_EQ(f.isMinimized(), c.Minimised) << what;
        EXPECT_EQ(f.Timer1.isActive(), c.Armed) << what;
        if (c.Armed) {
            EXPECT_EQ(f.Timer1.interval(), 10000) << what;
        }
        w.reset();
    }
}

TEST_F(WindowComeUp, WithoutATrayOkAndCancelMinimiseAndTheSettingsSaySo)
{
    trayAvailable = false;
    TfrmMain& f = StartWith("");
    f.pgcMain->setCurrentWidget(f.tabSettings);
    EXPECT_TRUE(f.lblNoTray->isVisibleTo(f.tabSettings));
    EXPECT_GT(f.chkActiveNet->y(), f.lblNoTray->geometry().bottom()) << "the note sits under the tray option";
    EXPECT_LT(f.chkDisplayIcon->y(), f.lblNoTray->y());

    f.edtSubject->setText("Kept");
    f.btnOK->click();
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(f.isMinimized()) << "OK leaves a way back: the taskbar button";
    EXPECT_NE(SettingsText().find("Subject=Kept"), std::string::npos);
    EXPECT_TRUE(f.Timer1.isActive());

    f.DisplayWindow();
    EXPECT_FALSE(f.isMinimized());
    f.btnCancel->click();
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(f.isMinimized());
    EXPECT_TRUE(f.Timer1.isActive());
    EXPECT_TRUE(boxes.Seen.empty());

    // Once the desktop has a notification area again, the note goes.
    trayAvailable = true;
    f.DisplayWindow();
    f.hide();
    f.show();
    EXPECT_FALSE(f.lblNoTray->isVisibleTo(f.tabSettings));
    f.btnOK->click();
    EXPECT_FALSE(f.isVisible());
}

TEST_F(WindowComeUp, EndingFromOutsideAsksNothingAndSavesNothing)
{
    TfrmMain& f = StartWith("");
    const std::string saved = SettingsText();
    f.chkConfirmClose->setChecked(true);
    f.edtSubject->setText("Never confirmed");
    QSignalSpy ended(&f, &TfrmMain::ProgramEnd);
    f.EndProgram();
    EXPECT_EQ(ended.size(), 1);
    EXPECT_TRUE(boxes.Seen.empty());
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(f.Timer1.isActive());
    EXPECT_TRUE(f.Flags().AbortRequested) << "a running check stops at its next site";
    EXPECT_EQ(SettingsText(), saved);
}
