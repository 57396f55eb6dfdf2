// The main window driven through its controls: what it shows after a load,
// its rules between controls, the questions of OK, Cancel and close, and the
// site list's buttons, links and keys.

#include "engine/ChangeMeasure.h"
#include "engine/Product.h"
#include "engine/Sensitivity.h"
#include "shell/DlgEditSite.h"
#include "shell/LinkLabel.h"
#include "shell/SiteListView.h"
#include "shell/SpinEdit.h"
#include "tests/shell/WindowFixture.h"
#include "tests/shell/Captions.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QPainter>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using MainWindow = WindowFixture;

const QString NotSelected = "You have not selected a site.";
const QString NoSites = "You have not selected any sites.  Are you sure you want to continue";
const QString NoDest = "You have not specified a destination e-mail address for delivery of your sites.";
const QString NoServer = "You have not specified your SMTP server settings.  Do you want to do this now?";
const QString CloseQuestion =
    "If you close Vendrel then delivery of your web sites will be disabled.\n\nAre you sure you want to close?";

// The next control Tab reaches, passing over the parts of composite controls.
QWidget* NextTabStop(QWidget* control)
{
    for (QWidget* next = control->nextInFocusChain(); next != control; next = next->nextInFocusChain())
        if (!next->objectName().isEmpty() && !next->objectName().startsWith("qt_"))
            return next;
    return nullptr;
}

void Type(QWidget* field, const QString& text)
{
    field->setFocus();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
}

TEST_F(MainWindow, CreationShowsTheSavedSettingsAndLogsTheStart)
{
    TSettings s = QuietSettings();
    s.Server.Host = "mail.example.org";
    s.DestEmail = "me@example.org";
    s.Subject = "Watched";
    s.OncePerDay = false;
    s.CheckFrequency = 5;
    s.CheckFrequencyScale = 0;
    ShowThreshold(s.Sensitivity, 45);
    s.FlashIcon = false;
    s.ShowDeliveredDates = true;
    s.LoggingTabVisible = false;
    WriteUserFiles(s, MakeSites({{"Beta", "http://b.example/", false}, {"alpha", "http://a.example/", true}}));
    TfrmMain& f = Start();

    EXPECT_EQ(f.windowTitle().toStdString(), DefaultCaption);
    EXPECT_EQ(f.size(), QSize(495, 567));
    EXPECT_EQ(f.pgcMain->currentIndex(), 0);
    EXPECT_EQ(f.edtDestEmail->text(), "me@example.org");
    EXPECT_EQ(f.edtSubject->text(), "Watched");
    EXPECT_TRUE(f.rdbFrequencyChecking->isChecked());
    EXPECT_EQ(f.spnCheckFreq->value(), 5);
    EXPECT_EQ(f.cmbCheckFreq->currentText(), "minutes");
    EXPECT_EQ(f.cmbSiteCompare->currentIndex(), SensitivityCustomIndex);
    EXPECT_TRUE(f.spnCustomThreshold->isVisibleTo(f.tabSettings));
    EXPECT_EQ(f.spnCustomThreshold->value(), 45);
    EXPECT_FALSE(f.chkFlashIcon->isChecked());
    EXPECT_TRUE(f.chkDeliveredDates->isChecked());
    EXPECT_FALSE(f.pgcMain->isTabVisible(TfrmMain::LogTabIndex));
    EXPECT_EQ(f.MailServer().Host, "mail.example.org");
    // Sorted without regard to case, each with its tick.
    ASSERT_EQ(f.fbxSites->model()->rowCount(), 2);
    EXPECT_EQ(SiteNameOf(f.Sites(), 0), "alpha");
    EXPECT_EQ(f.fbxSites->model()->index(0, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_EQ(f.fbxSites->model()->index(1, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    const QStringList log = f.memLog->toPlainText().split('\n');
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].endsWith(" Vendrel Started"));
    EXPECT_EQ(log[1], "");
    EXPECT_EQ(f.TrayImageKind(), TTrayImage::Normal);
    EXPECT_FALSE(f.Flags().ShuttingDown);
    EXPECT_FALSE(f.Flags().LowColourIcons);
    EXPECT_TRUE(boxes.Seen.empty());
}

TEST_F(MainWindow, ControlsCarryTheirNamesCaptionsHintsAndRanges)
{
    TfrmMain& f = Start();
    struct TControl {
        const char* name;
        const char* caption;
        const char* hint;
    };
    const TControl buttons[] = {
        {"btnChangeNow", "Check Now!", "Check all your sites for any that have changed"},
        {"btnAbout", "About", "About Vendrel..."},
        {"btnHelp", "Help", "Display the Vendrel Read Me document"},
        {"btnOK", "OK",
         "Save changes and minimize Vendrel to the notification area (your site monitoring will commence "
         "automatically)"},
        {"btnCancel", "Cancel",
         "Cancel changes and minimize Vendrel to the notification area (monitoring will commence as usual)"},
        {"btnAddSite", "Add Site...", "Add a new site to your monitor list"},
        {"btnMoveUp", "Move Up", "Promote the selected site"},
        {"btnMoveDown", "Move Down", "Demote the selected site"},
        {"btnEditSite", "Edit Site...", "Edit the selected site"},
        {"btnTestSite", "Send Site", "Deliver the selected web site to your e-mail software"},
        {"btnViewSite", "View Site", "Open the selected site in your web browser"},
        {"btnDelete", "Delete Site", "Delete the selected site"},
        {"chkDeliveredDates", "Show delivered dates", "Display date that the each site was last delivered"},
        {"btnSMTPSettings", "Mail Server Settings...", "Click to specify the settings of your SMTP mail server"},
        {"rdbOncePerDay", "Once per day, at the following time:",
         "Vendrel will only check for site changes once a day at the specified time"},
        {"rdbFrequencyChecking", "Check every ",
         "Vendrel will check for site changes at the frequency you have specified"},
        {"chkAutoStart", "Automatically start Vendrel when I log in",
         "Set this option to start Vendrel when you log in.  If you don't check this option you will need to start "
         "Vendrel yourself to start delivery of your web sites"},
        {"chkDisplayIcon", "Display an icon in the system tray for controlling Vendrel",
         "If this option is set then an icon for Vendrel is displayed in your notification area and allows you to "
         "quickly configure Vendrel and access common functions.  It will also flash when a new web site is "
         "delivered"},
        {"chkConfirmClose", "Warn before closing Vendrel",
         "If enabled you will be asked for confirmation when closing Vendrel"},
        {"chkMarkChanges", "Show what changed at the top of each mail",
         "Puts the changed text first in each mail and marks it in the page"},
        {"chkFlashIcon", "Flash icon when new items are posted",
         "Specifies that the notification area icon for Vendrel should flash for several seconds whenever it delivers a "
         "web site to your email software"},
        {"chkActiveNet", "Always check for an active Internet connection",
         "If this option is checked Vendrel will always check that there is a valid internet connection before it "
         "tries to check your sites.  If you have a permanent connection you can disable this option"},
    };
    for (const TControl& c : buttons) {
        auto* button = f.findChild<QAbstractButton*>(c.name);
        ASSERT_NE(button, nullptr) << c.name;
        EXPECT_EQ(Shown(button->text()), c.caption) << c.name;
        EXPECT_EQ(button->toolTip(), c.hint) << c.name;
    }
    for (const char* name : {"btnChangeNow", "btnAbout", "btnHelp", "btnOK", "btnCancel", "btnAddSite",
                             "btnEditSite", "btnTestSite", "btnViewSite", "btnDelete", "btnSMTPSettings"})
        EXPECT_FALSE(f.findChild<QPushButton*>(name)->icon().isNull()) << name << " shows its image";

    EXPECT_EQ(Shown(f.pgcMain->tabText(0)), "Web Sites");
    EXPECT_EQ(Shown(f.pgcMain->tabText(1)), "  Settings  ");
    EXPECT_EQ(Shown(f.pgcMain->tabText(2)), "Logging");
    EXPECT_EQ(f.Label1->text(), "Keep up-to-date with your favorite web sites.  Vendrel automatically monitors "
                                "your web sites and emails them to you whenever they change!");
    EXPECT_EQ(Shown(f.Label2->text()), "Check the sites that you want delivered whenever they change:");
    EXPECT_EQ(f.lnkALL->text(), "Select All");
    EXPECT_EQ(f.lnkNONE->text(), "Deselect All");
    EXPECT_EQ(f.lnkQuorvan->toolTip().toStdString(), MakerWebAddress);
    EXPECT_TRUE(f.edtDestEmail->toolTip().startsWith(
        "Specify the email address to send the web sites to.  To specify multiple recipients separate them with a "
        "comma, e.g. "));
    EXPECT_EQ(f.cmbCheckFreq->count(), 3);
    EXPECT_EQ(f.cmbCheckFreq->itemText(1), "hours");
    ASSERT_EQ(f.cmbSiteCompare->count(), 8);
    EXPECT_EQ(f.cmbSiteCompare->itemText(7), "When the changes exceeds a custom threshold:");
    EXPECT_EQ(f.spnCheckFreq->MinValue(), 1);
    EXPECT_EQ(f.spnCheckFreq->MaxValue(), 2400);
    EXPECT_EQ(f.spnCustomThreshold->MinValue(), 1);
    EXPECT_EQ(f.spnCustomThreshold->MaxValue(), 20000);

    EXPECT_TRUE(f.btnMoveUp->isHidden());
    EXPECT_TRUE(f.btnMoveDown->isHidden());
    EXPECT_TRUE(f.memLog->isReadOnly());
    EXPECT_EQ(f.memLog->focusPolicy() & Qt::TabFocus, 0) << "the log is not reached by Tab";
    EXPECT_EQ(f.fbxSites->sizeHintForRow(0) <= 0 ? 16 : f.fbxSites->sizeHintForRow(0), 16);
    // Tab order as listed: the site buttons after the list, the bottom row last.
    EXPECT_EQ(NextTabStop(f.fbxSites), f.btnAddSite);
    EXPECT_EQ(NextTabStop(f.btnAddSite), f.btnMoveUp);
    EXPECT_EQ(NextTabStop(f.edtDestEmail), f.edtSubject);
    EXPECT_EQ(NextTabStop(f.chkActiveNet), f.btnChangeNow);
    EXPECT_EQ(NextTabStop(f.btnOK), f.btnCancel);
}

// New users see what changed in each mail; those whose settings file
// predates the box keep their mail as it was until they tick it.
TEST_F(MainWindow, ShowingWhatChangedIsOnForAFirstStartOnlyAndSaved)
{
    {
        TfrmMain& f = Start();
        EXPECT_TRUE(f.chkMarkChanges->isChecked());
        EXPECT_TRUE(f.CurrentSettings().MarkChanges);
        EXPECT_EQ(f.chkMarkChanges->geometry().bottom() < f.findChild<QWidget*>("lblOtherSettings")->geometry().top(),
                  true)
            << "under the sensitivity, above the other settings";
        w.reset();
    }
    WriteFile(Files().SettingsPath(), "[Settings]\r\nDestEmail=me@example.org\r\n");
    TfrmMain& g = Start();
    EXPECT_FALSE(g.chkMarkChanges->isChecked());
    g.chkMarkChanges->setChecked(true);
    SaveSettingsTo(Files(), g.CurrentSettings(), g.Sites());
    EXPECT_NE(SettingsText().find("MarkChanges=True\r\n"), std::string::npos);
}

TEST_F(MainWindow, SettingsRulesFollowTheControlsAndSpinFieldsSettleTheirText)
{
    TSettings s = QuietSettings();
    s.OncePerDay = true;
    s.TrayIcon = true;
    WriteUserFiles(s, TSiteList());
    TfrmMain& f = Start();
    f.pgcMain->setCurrentIndex(1);
    QApplication::processEvents();

    EXPECT_TRUE(f.dtCheckTime->isEnabled());
    EXPECT_FALSE(f.spnCheckFreq->isEnabled());
    EXPECT_FALSE(f.cmbCheckFreq->isEnabled());
    QTest::mouseClick(f.rdbFrequencyChecking, Qt::LeftButton);
    EXPECT_FALSE(f.dtCheckTime->isEnabled());
    EXPECT_TRUE(f.spnCheckFreq->isEnabled());
    EXPECT_TRUE(f.cmbCheckFreq->isEnabled());
    QTest::mouseClick(f.rdbOncePerDay, Qt::LeftButton);
    EXPECT_TRUE(f.dtCheckTime->isEnabled());

    QSignalSpy trayShown(&f, &TfrmMain::TrayIconVisibilityChanged);
    EXPECT_TRUE(f.chkFlashIcon->isEnabled());
    QTest::mouseClick(f.chkDisplayIcon, Qt::LeftButton);
    EXPECT_FALSE(f.chkFlashIcon->isEnabled());
    EXPECT_TRUE(trayShown.isEmpty()) << "the tray icon follows the option only at a save or load";
    EXPECT_TRUE(f.TrayIconWanted());
    QTest::mouseClick(f.chkDisplayIcon, Qt::LeftButton);
    EXPECT_TRUE(f.chkFlashIcon->isEnabled());

    f.cmbSiteCompare->setCurrentIndex(SensitivityCustomIndex);
    EXPECT_TRUE(f.spnCustomThreshold->isVisible());
    f.cmbSiteCompare->setCurrentIndex(2);
    EXPECT_FALSE(f.spnCustomThreshold->isVisible());

    QTest::mouseClick(f.rdbFrequencyChecking, Qt::LeftButton);
    auto settle = [&](TSpinEdit* field, const QString& text) {
        Type(field, text);
        f.edtSubject->setFocus();
        QApplication::processEvents();
        return field->value();
    };
    EXPECT_EQ(settle(f.spnCheckFreq, "12"), 12);
    EXPECT_EQ(settle(f.spnCheckFreq, "abc"), 1) << "a text that is no number counts as the minimum";
    EXPECT_EQ(settle(f.spnCheckFreq, "99999"), 2400);
    EXPECT_EQ(settle(f.spnCheckFreq, "0"), 1);
    f.cmbSiteCompare->setCurrentIndex(SensitivityCustomIndex);
    EXPECT_EQ(settle(f.spnCustomThreshold, "50000"), 20000);
    EXPECT_EQ(settle(f.spnCustomThreshold, "x1"), 1);
    EXPECT_EQ(f.CurrentSettings().Sensitivity.CustomThreshold, 1);
    QTest::keyClick(f.spnCustomThreshold, Qt::Key_Up);
    EXPECT_EQ(f.spnCustomThreshold->value(), 2);
}

TEST_F(MainWindow, OkAsksAboutTickedSitesAddressAndMailServerBeforeItSaves)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"Alpha", "http://a.example/", false}}));
    std::remove(Files().SettingsPath().c_str());
    TfrmMain& f = Start();

    boxes.Answer(QMessageBox::No);
    f.btnOK->click();
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_EQ(boxes.Seen[0].Text, NoSites);
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Information);
    EXPECT_EQ(boxes.Seen[0].Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(boxes.Seen[0].Title, "Vendrel");
    EXPECT_TRUE(f.isVisible());

    boxes.Clear();
    boxes.Answer(QMessageBox::Yes);
    f.btnOK->click();
    ASSERT_EQ(boxes.Texts(), QStringList({NoSites, NoDest}));
    EXPECT_EQ(boxes.Seen[1].Icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.Seen[1].Buttons, QMessageBox::Ok);
    EXPECT_TRUE(f.isVisible());

    f.Sites().SetChecked(0, true);
    Type(f.edtDestEmail, "me@example.org");
    f.rdbFrequencyChecking->setChecked(true);
    boxes.Clear();
    boxes.Answer(QMessageBox::No);
    f.btnOK->click();
    ASSERT_EQ(boxes.Texts(), QStringList({NoServer}));
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.Seen[0].Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(SettingsText(), "") << "nothing is saved before the mail server is set";

    TMailServerSettings server;
    server.Host = "mail.example.org";
    f.SetMailServer(server);
    boxes.Clear();
    f.btnOK->click();
    EXPECT_TRUE(boxes.Seen.empty());
    EXPECT_FALSE(f.isVisible());
    EXPECT_NE(SettingsText().find("DestEmail=me@example.org"), std::string::npos);
    EXPECT_NE(SettingsText().find("SMTPServer=mail.example.org"), std::string::npos);
    EXPECT_NE(ReadFile(Files().SitesPath()).find("Alpha"), std::string::npos);
    EXPECT_TRUE(f.Timer1.isActive());
    EXPECT_EQ(f.Timer1.interval(), 10000) << "the first check follows ten seconds after OK";
}

TEST_F(MainWindow, CancelReloadsWhatWasSavedHidesAndRearms)
{
    TSettings s = QuietSettings();
    s.Subject = "Saved";
    s.OncePerDay = true;
    WriteUserFiles(s, MakeSites({{"Alpha", "http://a.example/", true}, {"Beta", "http://b.example/", true}}));
    TfrmMain& f = Start();
    EXPECT_FALSE(f.Timer1.isActive()) << "the scheduler rests while the window is shown";

    Type(f.edtSubject, "Changed");
    f.SetCurrentRow(0);
    boxes.Answer(QMessageBox::Yes);
    f.btnDelete->click();
    TMailServerSettings server;
    server.Host = "unsaved.example.org";
    f.SetMailServer(server);
    ASSERT_EQ(f.Sites().Count(), 1);

    f.btnCancel->click();
    EXPECT_EQ(f.edtSubject->text(), "Saved");
    EXPECT_EQ(f.Sites().Count(), 2);
    EXPECT_EQ(f.MailServer().Host, "");
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.Timer1.isActive()) << "daily mode re-arms for the check time";
    EXPECT_GT(f.Timer1.interval(), 0);
}

TEST_F(MainWindow, SiteButtonsAskForACurrentRow)
{
    TSettings s = QuietSettings();
    s.DestEmail = "me@example.org";
    WriteUserFiles(s, MakeSites({{"Alpha", "http://a.example/", true}}));
    TfrmMain& f = Start();
    f.SetCurrentRow(-1);
    for (QPushButton* button : {f.btnEditSite, f.btnViewSite, f.btnDelete, f.btnTestSite, f.btnMoveUp}) {
        boxes.Clear();
        button->click();
        ASSERT_EQ(boxes.Texts(), QStringList({NotSelected})) << button->objectName().toStdString();
        EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Information);
        EXPECT_EQ(boxes.Seen[0].Buttons, QMessageBox::Ok);
    }
    // Send Site checks the address first.
    f.edtDestEmail->setText("nobody");
    boxes.Clear();
    f.btnTestSite->click();
    EXPECT_EQ(boxes.Texts(), QStringList({NoDest}));
}

TEST_F(MainWindow, DeleteAsksAndRemovesTheRowWithItsStoredPageAndRecord)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"Alpha", "http://a.example/", true},
                                               {"Beta", "http://b.example/", true}}));
    TfrmMain& f = Start();
    WriteFile(StoredPagePath("Alpha"), "<html>old</html>");
    const std::string checks = f.Engine().SiteChecksPath("Alpha");
    WriteFile(checks, "Failures=2\r\n");

    f.SetCurrentRow(0);
    boxes.Answer(QMessageBox::No);
    f.btnDelete->click();
    ASSERT_EQ(boxes.Texts(), QStringList({"Are you sure you want to delete the site, Alpha?"}));
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Question);
    EXPECT_EQ(boxes.Seen[0].Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(f.Sites().Count(), 2);
    EXPECT_TRUE(FileExists(StoredPagePath("Alpha")));

    boxes.Answer(QMessageBox::Yes);
    f.btnDelete->click();
    ASSERT_EQ(f.Sites().Count(), 1);
    EXPECT_EQ(SiteNameOf(f.Sites(), 0), "Beta");
    EXPECT_FALSE(FileExists(StoredPagePath("Alpha")));
    EXPECT_FALSE(FileExists(checks)) << "its record of failed checks goes with it";
    EXPECT_EQ(f.fbxSites->model()->rowCount(), 1);

    // A site that was never delivered has no page; the row still goes.
    f.SetCurrentRow(0);
    boxes.Answer(QMessageBox::Yes);
    f.btnDelete->click();
    EXPECT_EQ(f.Sites().Count(), 0);
    EXPECT_NE(ReadFile(Files().SitesPath()).find("Beta"), std::string::npos) << "the file waits for the next save";
}

// A site list edited by hand can hold a name the editor would refuse; deleting
// that site must not delete the file its name points at outside the pages.
TEST_F(MainWindow, DeletingASiteWhoseNameLeavesThePageFolderRemovesNoFile)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"../../victim", "http://a.example/", true}}));
    TfrmMain& f = Start();
    const std::string outside = StoredPagePath("../../victim");
    WriteFile(outside, "the user's own file");
    f.SetCurrentRow(0);
    boxes.Answer(QMessageBox::Yes);
    f.btnDelete->click();
    EXPECT_EQ(f.Sites().Count(), 0);
    EXPECT_EQ(ReadFile(outside), "the user's own file");
}

TEST_F(MainWindow, HiddenMoveButtonsSwapTheCurrentRowWithItsNeighbour)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"A", "http://a.example/", true}, {"B", "http://b.example/", false}}));
    TfrmMain& f = Start();
    f.SetCurrentRow(0);
    f.btnMoveUp->click();
    EXPECT_EQ(SiteNameOf(f.Sites(), 0), "A");
    f.btnMoveDown->click();
    EXPECT_EQ(SiteNameOf(f.Sites(), 0), "B");
    EXPECT_FALSE(f.Sites().Checked(0));
    EXPECT_TRUE(f.Sites().Checked(1));
    EXPECT_EQ(f.CurrentRow(), 1);
    f.btnMoveDown->click();
    EXPECT_EQ(f.CurrentRow(), 1) << "nothing happens at the last row";
}

TEST_F(MainWindow, SelectAllLinksAndCtrlAKeysTickAndUntickEveryRow)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"A", "http://a.example/", true}, {"B", "http://b.example/", false},
                                               {"C", "http://c.example/", true}}));
    TfrmMain& f = Start();
    auto ticks = [&] {
        std::string t;
        for (int i = 0; i < f.Sites().Count(); ++i)
            t += f.Sites().Checked(i) ? 'x' : '-';
        return t;
    };
    QTest::mouseClick(f.lnkNONE, Qt::LeftButton);
    EXPECT_EQ(ticks(), "---");
    QTest::mouseClick(f.lnkALL, Qt::LeftButton);
    EXPECT_EQ(ticks(), "xxx");

    f.fbxSites->setFocus();
    f.SetCurrentRow(1);
    QTest::keyRelease(f.fbxSites, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(ticks(), "---");
    EXPECT_EQ(f.CurrentRow(), 1) << "ticking keeps the current row";
    QTest::keyRelease(f.fbxSites, Qt::Key_A, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(ticks(), "---") << "only Ctrl+A and Ctrl+Shift+A act";
    QTest::keyRelease(f.fbxSites, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(ticks(), "xxx");
    QTest::keyRelease(f.fbxSites, Qt::Key_A, Qt::NoModifier);
    EXPECT_EQ(ticks(), "xxx");

    // A click on a row's box ticks that row alone.
    const QRect row = f.fbxSites->visualRect(f.fbxSites->model()->index(1, 0));
    QTest::mouseClick(f.fbxSites->viewport(), Qt::LeftButton, Qt::NoModifier,
                      TSiteRowDelegate::CheckRect(row).center());
    EXPECT_EQ(ticks(), "x-x");
}

TEST_F(MainWindow, AltClickOnTheListHeadingTogglesTheLogTabAndItIsSaved)
{
    WriteUserFiles(QuietSettings(), TSiteList());
    TfrmMain& f = Start();
    ASSERT_TRUE(f.LoggingTabVisible());
    QTest::mouseClick(f.Label2, Qt::LeftButton);
    EXPECT_TRUE(f.LoggingTabVisible());
    QTest::mouseClick(f.Label2, Qt::LeftButton, Qt::AltModifier | Qt::ControlModifier);
    EXPECT_TRUE(f.LoggingTabVisible()) << "Alt must be the only modifier";
    QTest::mouseClick(f.Label2, Qt::LeftButton, Qt::AltModifier);
    EXPECT_FALSE(f.LoggingTabVisible());

    // A double click on the text at the top saves at once, window and all.
    QTest::mouseDClick(f.Label1, Qt::LeftButton);
    EXPECT_NE(SettingsText().find("LoggingTabVisible=False"), std::string::npos);
    EXPECT_TRUE(f.isVisible());
    f.AddToLog("still logged");
    EXPECT_TRUE(f.memLog->toPlainText().contains("still logged"));

    QTest::mouseClick(f.Label2, Qt::LeftButton, Qt::AltModifier);
    EXPECT_TRUE(f.LoggingTabVisible());
    QTest::mouseDClick(f.Label1, Qt::LeftButton);
    EXPECT_NE(SettingsText().find("LoggingTabVisible=True"), std::string::npos);
}

TEST_F(MainWindow, CloseAsksWhenWarnedAndNoKeepsTheProgramWithReloadedSettings)
{
    TSettings s = QuietSettings();
    s.ConfirmClose = true;
    s.Subject = "Saved";
    WriteUserFiles(s, TSiteList());
    TfrmMain& f = Start();
    QSignalSpy ended(&f, &TfrmMain::ProgramEnd);

    Type(f.edtSubject, "Unsaved");
    boxes.Answer(QMessageBox::No);
    f.close();
    ASSERT_EQ(boxes.Texts(), QStringList({CloseQuestion}));
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Question);
    EXPECT_EQ(boxes.Seen[0].Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(ended.isEmpty());
    EXPECT_FALSE(f.isVisible()) << "a refused close hides the window to the tray";
    EXPECT_EQ(f.edtSubject->text(), "Saved");
    EXPECT_TRUE(f.Flags().AbortRequested);
    EXPECT_TRUE(f.Timer1.isActive());

    f.DisplayWindow();
    Type(f.edtSubject, "Kept");
    boxes.Answer(QMessageBox::Yes);
    f.close();
    EXPECT_EQ(ended.size(), 1);
    EXPECT_NE(SettingsText().find("Subject=Kept"), std::string::npos) << "closing saves";
    EXPECT_FALSE(f.Timer1.isActive());
}

TEST_F(MainWindow, SessionEndClosesWithoutAskingAndSaves)
{
    TSettings s = QuietSettings();
    s.ConfirmClose = true;
    WriteUserFiles(s, TSiteList());
    TfrmMain& f = Start();
    QSignalSpy ended(&f, &TfrmMain::ProgramEnd);
    Type(f.edtSubject, "At log-off");
    f.QueryEndSession();
    EXPECT_TRUE(boxes.Seen.empty());
    EXPECT_TRUE(f.Flags().ShuttingDown);
    EXPECT_EQ(ended.size(), 1);
    EXPECT_NE(SettingsText().find("Subject=At log-off"), std::string::npos);
}

TEST_F(MainWindow, ShowingTheWindowStopsTheSchedulerAndTheFlash)
{
    TSettings s = QuietSettings();
    s.DestEmail = "me@example.org";
    s.Server.Host = "mail.example.org";
    s.OncePerDay = false;
    WriteUserFiles(s, MakeSites({{"A", "http://a.example/", true}}));
    TfrmMain& f = Start();
    f.btnOK->click();
    ASSERT_FALSE(f.isVisible());
    ASSERT_TRUE(f.Timer1.isActive());

    f.StartTimerAnim();
    f.DisplayWindow();
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.Timer1.isActive());
    EXPECT_TRUE(f.Flags().AbortRequested);
    // The next flash tick shows the normal image and ends the flash.
    f.SetTrayImage(TTrayImage::New);
    f.TimerAnimTimer();
    EXPECT_FALSE(f.TimerAnim.isActive());
    EXPECT_EQ(f.TrayImageKind(), TTrayImage::Normal);
}

TEST_F(MainWindow, LoadAndSaveFailuresShowTheirBoxesAndAFailedLoadIsNeverSavedOver)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"A", "http://a.example/", true}}));
    TfrmMain& f = Start();
    const std::string sites = Files().SitesPath();

    // A save that fails part way: "Sites.dat" cannot be replaced.
    std::remove(sites.c_str());
    ASSERT_EQ(::mkdir(sites.c_str(), 0700), 0);
    QTest::mouseDClick(f.Label1, Qt::LeftButton);
    EXPECT_EQ(boxes.Texts(), QStringList({"Er", "An error was encountered saving your settings"}));
    ASSERT_EQ(boxes.Seen.size(), 2u);
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::NoIcon);
    EXPECT_EQ(boxes.Seen[1].Icon, QMessageBox::Critical);

    // A load that fails leaves the user's files as they are: the next save
    // says why it writes nothing.
    boxes.Clear();
    f.btnCancel->click();
    EXPECT_EQ(boxes.Texts(), QStringList({"An error was encountered loading your settings"}));
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Critical);
    const std::string before = SettingsText();
    boxes.Clear();
    f.DisplayWindow();
    Type(f.edtSubject, "Would overwrite");
    QTest::mouseDClick(f.Label1, Qt::LeftButton);
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_TRUE(boxes.Seen[0].Text.startsWith("Your settings were not saved"));
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(SettingsText(), before);

    // Once the file is mended, Cancel loads it and saving works again.
    ::rmdir(sites.c_str());
    WriteFile(sites, "B                  {http://b.example/}-2\r\n");
    boxes.Clear();
    f.btnCancel->click();
    EXPECT_TRUE(boxes.Seen.empty());
    EXPECT_EQ(f.Sites().Count(), 1);
    f.DisplayWindow();
    Type(f.edtSubject, "Mended");
    QTest::mouseDClick(f.Label1, Qt::LeftButton);
    EXPECT_TRUE(boxes.Seen.empty());
    EXPECT_NE(SettingsText().find("Subject=Mended"), std::string::npos);
}

TEST_F(MainWindow, AddAndEditGoThroughTheSiteEditor)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"Alpha", "http://a.example/", false}, {"Beta", "http://b.example/", true}}));
    TfrmMain& f = Start();
    WriteFile(StoredPagePath("Alpha"), "<html></html>");

    // A cancelled add adds nothing.
    int opened = 0;
    boxes.OnDialog = [&](QDialog* dialog) {
        ++opened;
        dialog->reject();
    };
    f.btnAddSite->click();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(f.Sites().Count(), 2);

    // Editing starts from the row's values and puts the result at its sorted place.
    QString shownName, shownAddress;
    boxes.OnDialog = [&](QDialog* dialog) {
        auto* editor = qobject_cast<TdlgEditSite*>(dialog);
        ASSERT_NE(editor, nullptr);
        shownName = editor->edtSiteName->text();
        shownAddress = editor->edtSiteURL->text();
        editor->edtSiteName->setText("Zeta");
        editor->btnOK->click();
    };
    f.SetCurrentRow(0);
    f.btnEditSite->click();
    EXPECT_EQ(shownName, "Alpha");
    EXPECT_EQ(shownAddress, "http://a.example/");
    ASSERT_EQ(f.Sites().Count(), 2);
    EXPECT_EQ(SiteNameOf(f.Sites(), 1), "Zeta");
    EXPECT_EQ(SiteAddressOf(f.Sites(), 1), "http://a.example/");
    EXPECT_FALSE(f.Sites().Checked(1)) << "the tick stays with the site";
    EXPECT_EQ(f.CurrentRow(), 1);
    f.chkDeliveredDates->setChecked(true);
    EXPECT_EQ(f.RowDelegate().DateText("Zeta", true), "Never Delivered") << "the stored page keeps its old name";
    EXPECT_TRUE(FileExists(StoredPagePath("Alpha")));

    // A double click on a row opens the editor for that row.
    boxes.OnDialog = [&](QDialog* dialog) {
        shownName = qobject_cast<TdlgEditSite*>(dialog)->edtSiteName->text();
        dialog->reject();
    };
    const QRect row = f.fbxSites->visualRect(f.fbxSites->model()->index(0, 0));
    const QPoint at = row.center() + QPoint(40, 0);
    QTest::mousePress(f.fbxSites->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(f.fbxSites->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(f.fbxSites->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(shownName, "Beta");
    EXPECT_EQ(f.Sites().Count(), 2);
}

TEST_F(MainWindow, ASitesOptionsFollowItThroughTheEditorAndShowAsAMark)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"Alpha", "http://a.example/", true}, {"Beta", "http://b.example/", true}}));
    WriteFile(Files().SiteOptionsPath(), "[Beta]\r\nWatch=.b\r\n");
    TfrmMain& f = Start();
    EXPECT_TRUE(f.RowDelegate().HasOptions("Beta"));
    EXPECT_FALSE(f.RowDelegate().HasOptions("Alpha"));

    // The editor shows the site's options, and its values replace them.
    QString shownWatch;
    boxes.OnDialog = [&](QDialog* dialog) {
        auto* editor = qobject_cast<TdlgEditSite*>(dialog);
        ASSERT_NE(editor, nullptr);
        shownWatch = editor->edtWatch->text();
        editor->edtSiteName->setText("Gamma");
        editor->edtWatch->setText("#price");
        editor->btnOK->click();
    };
    f.SetCurrentRow(1);
    f.btnEditSite->click();
    EXPECT_EQ(shownWatch, ".b");
    EXPECT_EQ(f.Sites().OptionsOf("Beta"), nullptr) << "a rename moves the options";
    ASSERT_NE(f.Sites().OptionsOf("Gamma"), nullptr);
    EXPECT_EQ(f.Sites().OptionsOf("Gamma")->Watch, "#price");
    EXPECT_TRUE(f.RowDelegate().HasOptions("Gamma"));

    // The mark is drawn at the right of the row, and only for a site with options.
    const auto rowImage = [&](int rowIndex) {
        QImage image(f.fbxSites->viewport()->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QStyleOptionViewItem option;
        option.initFrom(f.fbxSites);
        option.rect = QRect(0, 0, image.width(), TSiteRowDelegate::RowHeight);
        option.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        f.RowDelegate().paint(&painter, option, f.fbxSites->model()->index(rowIndex, 0));
        painter.end();
        const QRect mark = TSiteRowDelegate::MarkRect(TSiteRowDelegate::TextRect(option.rect));
        int dark = 0;
        for (int y = mark.top(); y <= mark.bottom(); ++y)
            for (int x = mark.left(); x <= mark.right(); ++x)
                dark += qGray(image.pixel(x, y)) < 128;
        return dark;
    };
    EXPECT_EQ(rowImage(0), 0) << "Alpha has no options";
    EXPECT_GT(rowImage(1), 0) << "Gamma has options";

    // A delete drops them; OK saves the file beside the site list.
    boxes.Answer(QMessageBox::Yes);
    f.SetCurrentRow(1);
    f.btnDelete->click();
    EXPECT_EQ(f.Sites().OptionsOf("Gamma"), nullptr);
    boxes.OnDialog = [&](QDialog* dialog) {
        auto* editor = qobject_cast<TdlgEditSite*>(dialog);
        editor->edtIgnore->setText("\\d+ visitors");
        editor->btnOK->click();
    };
    f.SetCurrentRow(0);
    f.btnEditSite->click();
    f.SaveSettings();
    const std::string text = ReadFile(Files().SiteOptionsPath());
    EXPECT_NE(text.find("[Alpha]\r\nIgnore=\\d+ visitors\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Gamma"), std::string::npos) << text;
    EXPECT_EQ(text.find("Beta"), std::string::npos) << text;
}

TEST_F(MainWindow, ASecondSiteOfOneNameIsRefusedByTheEditorAndNeverSent)
{
    TSettings settings = QuietSettings();
    settings.DestEmail = "me@example.org";
    WriteUserFiles(settings, MakeSites({{"Alpha", "http://127.0.0.1:9/a", false}, {"Beta", "http://127.0.0.1:9/b", true}}));
    TfrmMain& f = Start();

    // Sites of one name would share one stored page: the editor says so and stays open.
    bool stayedOpen = false;
    const auto editTo = [&](const QString& name) {
        stayedOpen = false;
        boxes.OnDialog = [&, name](QDialog* dialog) {
            auto* editor = qobject_cast<TdlgEditSite*>(dialog);
            ASSERT_NE(editor, nullptr);
            editor->edtSiteName->setText(name);
            // Pressed once the answerer is free again to answer the editor's own box.
            QTimer::singleShot(0, editor, [&stayedOpen, editor] {
                editor->btnOK->click();
                stayedOpen = editor->isVisible();
                if (stayedOpen)
                    editor->reject();
            });
        };
    };
    const auto stayed = [&] { return stayedOpen; };
    boxes.Clear();
    editTo("Beta  ");
    f.btnAddSite->click();
    EXPECT_TRUE(stayed());
    EXPECT_EQ(boxes.Texts(), QStringList{"You already have a site named Beta.  Please give this site a name of its own."});
    EXPECT_EQ(f.Sites().Count(), 2);

    // A site keeps its own name, and may take one nobody has.
    for (const QString name : {"Alpha", "Gamma"}) {
        boxes.Clear();
        editTo(name);
        f.SetCurrentRow(0);
        f.btnEditSite->click();
        EXPECT_FALSE(stayed()) << name.toStdString();
        EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join("|").toStdString();
    }
    boxes.Clear();
    editTo("Beta");
    f.SetCurrentRow(f.Sites().Count() - 1);
    ASSERT_EQ(SiteNameOf(f.Sites(), f.CurrentRow()), "Gamma");
    f.btnEditSite->click();
    EXPECT_TRUE(stayed());
    EXPECT_EQ(boxes.Texts().size(), 1);
    EXPECT_EQ(SiteNameOf(f.Sites(), 1), "Gamma");

    // A list that came with a name twice sends only the first of them.
    f.Sites().Add(MakeSiteEntry("Beta", "http://127.0.0.1:9/z", -2), true);
    ASSERT_EQ(SiteAddressOf(f.Sites(), 1), "http://127.0.0.1:9/z");
    boxes.Clear();
    f.SetCurrentRow(1);
    f.btnTestSite->click();
    EXPECT_EQ(boxes.Texts(), QStringList{"Site Beta appears more than once in Sites.dat; only the first is checked."});
    EXPECT_TRUE(f.memLog->toPlainText().contains("Site Beta appears more than once in Sites.dat; only the first is checked"));
}

} // namespace
