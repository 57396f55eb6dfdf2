// The tray icon and its menu on the real main window, offscreen.

#include "engine/Product.h"
#include "shell/ImageList.h"
#include "shell/DlgEditSite.h"
#include "shell/MainTray.h"
#include "shell/SiteListView.h"
#include "tests/shell/WindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QMenu>
#include <memory>

namespace {

QImage Picture(const QIcon& icon)
{
    return icon.pixmap(32, 32).toImage();
}

class MainTrayTest : public WindowFixture {
protected:
    // The window as the program starts it, hidden in the tray, with a row
    // left unticked between two ticked ones.
    void StartTray(TSettings settings = QuietSettings())
    {
        settings.DestEmail = "me@example.test";
        settings.Server.Host = "127.0.0.1";
        WriteUserFiles(settings, MakeSites({{"Alpha", "http://127.0.0.1:9/a", true},
                                            {"Bravo", "http://127.0.0.1:9/b", false},
                                            {"Charlie", "http://127.0.0.1:9/c", true}}));
        Start(false);
        tray = std::make_unique<TMainTray>(*w);
    }
    ~MainTrayTest() override
    {
        if (tray)
            tray->Menu.popTask()->hide();
        tray.reset();
    }

    QAction* Item(const QString& text) const
    {
        for (QAction* a : tray->Menu.popTask()->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }

    std::unique_ptr<TMainTray> tray;
};

} // namespace

TEST_F(MainTrayTest, IconStartsWithTheNormalImageTheDefaultTipAndTheSettingsChoice)
{
    StartTray();
    EXPECT_EQ(tray->TrayIcon.Hint(), QString(DefaultCaption));
    EXPECT_EQ(Picture(tray->TrayIcon.Icon()), Picture(TImageList::TrayImage(TTrayImage::Normal, false)));
    EXPECT_TRUE(tray->TrayIcon.IconVisible());
}

TEST_F(MainTrayTest, IconFollowsTheDisplayOptionOnlyWhenSettingsAreSavedOrLoaded)
{
    StartTray();
    w->chkDisplayIcon->click();
    ASSERT_FALSE(w->chkDisplayIcon->isChecked());
    EXPECT_TRUE(tray->TrayIcon.IconVisible());
    w->SaveSettings();
    EXPECT_FALSE(tray->TrayIcon.IconVisible());
    w->chkDisplayIcon->click();
    w->LoadSettings();
    EXPECT_FALSE(tray->TrayIcon.IconVisible());
}

TEST_F(MainTrayTest, StatusTextIsCutInTheTipButWholeInTheCaption)
{
    StartTray();
    const std::string status = "Checking " + std::string(150, 's') + " 2 of 3";
    w->Engine().SetDisplay(status, status);
    EXPECT_EQ(w->windowTitle().toStdString(), std::string(ProductName) + " - " + status);
    const QString tip = QString::fromStdString(std::string(ProductName) + " - " + status).left(127);
    EXPECT_EQ(tray->TrayIcon.Tip(), tip);
    EXPECT_EQ(tray->TrayIcon.SystemIcon()->toolTip(), tip);
}

TEST_F(MainTrayTest, BusyStateShowsTheBusyImageAndThenTheNormalOne)
{
    StartTray();
    w->Engine().SetProcessing(true);
    EXPECT_EQ(Picture(tray->TrayIcon.Icon()), Picture(TImageList::TrayImage(TTrayImage::Busy, false)));
    w->Engine().SetProcessing(false);
    EXPECT_EQ(Picture(tray->TrayIcon.Icon()), Picture(TImageList::TrayImage(TTrayImage::Normal, false)));
    EXPECT_EQ(tray->TrayIcon.Hint(), QString(DefaultCaption));
}

TEST_F(MainTrayTest, MenuOffersTheTickedSitesOfTheWindowsList)
{
    StartTray();
    tray->Menu.popTaskPopup();
    QAction* deliver = Item("Deliver Site Now");
    ASSERT_TRUE(deliver);
    EXPECT_TRUE(deliver->isEnabled());
    const auto sites = deliver->menu()->actions();
    ASSERT_EQ(sites.size(), 2);
    EXPECT_EQ(sites[0]->text(), "Alpha");
    EXPECT_EQ(sites[1]->text(), "Charlie");
    EXPECT_EQ(sites[1]->data().toInt(), 2);
    EXPECT_EQ(sites[1]->toolTip(), "http://127.0.0.1:9/c");
    EXPECT_FALSE(Item("Check Now")->icon().isNull());

    // The list changed in the window: the next opening shows it.
    w->Sites().SetChecked(1, true);
    tray->Menu.popTaskPopup();
    EXPECT_EQ(Item("Deliver Site Now")->menu()->actions().size(), 3);
}

TEST_F(MainTrayTest, SettingsItemAndDoubleClickBringTheWindowBack)
{
    StartTray();
    ASSERT_FALSE(w->isVisible());
    tray->Menu.popTaskPopup();
    Item("Settings...")->trigger();
    EXPECT_TRUE(w->isVisible());

    w->hide();
    w->Flags().AbortRequested = false;
    tray->TrayIcon.Activated(QSystemTrayIcon::Trigger);
    tray->TrayIcon.Activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->Flags().AbortRequested);
}

TEST_F(MainTrayTest, ExitAsksTheCloseQuestionAndNoKeepsTheProgram)
{
    TSettings settings = QuietSettings();
    settings.ConfirmClose = true;
    StartTray(settings);
    bool ended = false;
    QObject::connect(w.get(), &TfrmMain::ProgramEnd, [&] { ended = true; });
    w->show();
    tray->Menu.popTaskPopup();
    boxes.Answer(QMessageBox::No);
    Item("Exit Vendrel")->trigger();
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_TRUE(boxes.Seen[0].Text.startsWith("If you close Vendrel then delivery of your web sites will be disabled."));
    EXPECT_FALSE(ended);
    // Refused: the window goes back to the tray, as Cancel does.
    EXPECT_FALSE(w->isVisible());

    // From the tray, with the window hidden, Yes ends the program.
    tray->Menu.popTaskPopup();
    boxes.Answer(QMessageBox::Yes);
    Item("Exit Vendrel")->trigger();
    EXPECT_EQ(boxes.Seen.size(), 2u);
    EXPECT_TRUE(ended);
}

TEST_F(MainTrayTest, ANameBeyondAsciiKeepsItsLettersFromTheEditorToTheFilesTheListTheMenuAndTheBoxes)
{
    StartTray();
    w->show();
    const QString name = QString::fromUtf8("Caf\u00e9 Z\u00fcrich \u2615 \u0395\u03bb\u03bb\u03ac\u03b4\u03b1 \U0001F310");
    const std::string bytes = name.toUtf8().toStdString();
    boxes.OnDialog = [&](QDialog* dialog) {
        auto* editor = qobject_cast<TdlgEditSite*>(dialog);
        ASSERT_TRUE(editor);
        editor->edtSiteName->setText(name);
        editor->edtSiteURL->setText("http://127.0.0.1:9/caf%C3%A9");
        editor->btnOK->click();
    };
    w->btnAddSiteClick();
    const int row = w->CurrentRow();
    ASSERT_GE(row, 0);
    EXPECT_EQ(SiteNameOf(w->Sites(), row), bytes) << "the engine holds the name as UTF-8";

    // The files hold the same bytes, and reading them back gives the name.
    w->SaveSettings();
    EXPECT_NE(ReadFile(Files().SitesPath()).find(bytes + std::string(18, ' ') + "{"), std::string::npos);
    w->LoadSettings();
    const QModelIndex index = w->fbxSites->model()->index(w->CurrentRow(), 0);
    EXPECT_TRUE(index.data().toString().startsWith(name));

    // The stored page is found under the same name: its date shows.
    WriteFile(StoredPagePath(bytes), "<html></html>");
    w->chkDeliveredDates->setChecked(true);
    EXPECT_NE(w->RowDelegate().DateText(name, true), "Never Delivered");

    tray->Menu.popTaskPopup();
    bool listed = false;
    for (QAction* a : Item("Deliver Site Now")->menu()->actions())
        listed |= a->text() == name;
    EXPECT_TRUE(listed) << "the tray menu shows the name as typed";

    boxes.Answer(QMessageBox::No);
    w->SetCurrentRow(w->CurrentRow());
    w->btnDeleteClick();
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_EQ(boxes.Seen[0].Text, "Are you sure you want to delete the site, " + name + "?");
}
