// The main window without a mouse: access keys on its controls, Enter for OK
// and Escape for Cancel wherever the focused control leaves them alone, and
// the link labels on the Tab path, acting on Enter or Space.

#include "shell/LinkLabel.h"
#include "tests/shell/Captions.h"
#include "tests/shell/WindowFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMap>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

namespace {

class Keyboard : public WindowFixture {
protected:
    // A window OK can leave at once: a ticked site, an address, a server.
    TfrmMain& StartReady()
    {
        TSettings s = QuietSettings();
        s.DestEmail = "me@example.org";
        s.Server.Host = "mail.example.org";
        s.Subject = "Saved";
        WriteUserFiles(s, MakeSites({{"A", "http://a.example/", true}, {"B", "http://b.example/", false}}));
        TfrmMain& f = Start();
        f.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        return f;
    }
    std::string Ticks() const
    {
        std::string t;
        for (int i = 0; i < w->Sites().Count(); ++i)
            t += w->Sites().Checked(i) ? 'x' : '-';
        return t;
    }
};

// Access keys of the controls on one page, the tab names and the bottom row:
// everything a key press can reach at one time.
QMap<QChar, QStringList> KeysInReach(TfrmMain& f, QWidget* page)
{
    QMap<QChar, QStringList> keys;
    auto add = [&](const QString& caption, const QString& who) {
        const QChar key = AccessKey(caption);
        EXPECT_FALSE(key.isNull()) << who.toStdString() << " has no access key";
        if (!key.isNull())
            keys[key] << who;
    };
    for (int i = 0; i < f.pgcMain->count(); ++i)
        add(f.pgcMain->tabText(i), "tab " + Shown(f.pgcMain->tabText(i)).trimmed());
    for (QAbstractButton* b : {f.btnChangeNow, f.btnAbout, f.btnHelp, f.btnOK, f.btnCancel})
        add(b->text(), b->objectName());
    for (QAbstractButton* b : page->findChildren<QAbstractButton*>())
        if (!b->objectName().startsWith("qt_"))
            add(b->text(), b->objectName());
    for (QLabel* l : page->findChildren<QLabel*>())
        if (l->buddy())
            add(l->text(), l->objectName());
    return keys;
}

} // namespace

TEST_F(Keyboard, EveryControlInReachHasAnAccessKeyOfItsOwn)
{
    TfrmMain& f = StartReady();
    for (QWidget* page : {f.tabSites, f.tabSettings}) {
        const auto keys = KeysInReach(f, page);
        for (auto it = keys.begin(); it != keys.end(); ++it)
            EXPECT_EQ(it.value().size(), 1) << "Alt+" << QString(it.key()).toStdString() << " is shared by "
                                            << it.value().join(", ").toStdString();
    }
    // The labels hand their key to the field beside them.
    EXPECT_EQ(f.Label2->buddy(), f.fbxSites);
}

TEST_F(Keyboard, AccessKeysPressTheirButtonsAndSwitchTabs)
{
    TfrmMain& f = StartReady();
    QString opened;
    boxes.OnDialog = [&](QDialog* d) {
        opened = d->windowTitle();
        d->reject();
    };
    // A button's access key presses it as a short click does.
    QTest::keyClick(&f, Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, 2000));
    EXPECT_EQ(opened, "Edit Site") << "Alt+A is Add Site...";
    EXPECT_EQ(f.Sites().Count(), 2);

    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_S, Qt::AltModifier);
    EXPECT_EQ(f.pgcMain->currentWidget(), f.tabSettings);
    QTest::keyClick(&f, Qt::Key_U, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), f.edtSubject) << "Alt+U reaches the subject field";
}

TEST_F(Keyboard, EnterIsOkAndEscapeIsCancelUnlessTheFocusedControlTakesThem)
{
    TfrmMain& f = StartReady();
    f.pgcMain->setCurrentWidget(f.tabSettings);
    f.edtSubject->setFocus();
    f.edtSubject->selectAll();
    QTest::keyClicks(f.edtSubject, "Typed");
    QTest::keyClick(f.edtSubject, Qt::Key_Escape);
    EXPECT_FALSE(f.isVisible()) << "Escape is Cancel";
    EXPECT_EQ(f.edtSubject->text(), "Saved") << "Cancel reloads what was saved";
    EXPECT_TRUE(f.Timer1.isActive());

    f.DisplayWindow();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.edtSubject->setFocus();
    f.edtSubject->selectAll();
    QTest::keyClicks(f.edtSubject, "Typed");
    QTest::keyClick(f.edtSubject, Qt::Key_Return);
    EXPECT_FALSE(f.isVisible()) << "Enter is OK";
    EXPECT_NE(SettingsText().find("Subject=Typed"), std::string::npos) << "OK saved";
    EXPECT_TRUE(boxes.Seen.empty());

    // A focused button takes Enter itself.
    f.DisplayWindow();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.pgcMain->setCurrentWidget(f.tabSites);
    f.SetCurrentRow(0);
    f.btnDelete->setFocus();
    boxes.Answer(QMessageBox::No);
    QTest::keyClick(f.btnDelete, Qt::Key_Return);
    EXPECT_EQ(boxes.Texts(), QStringList({"Are you sure you want to delete the site, A?"}));
    EXPECT_TRUE(f.isVisible());
}

TEST_F(Keyboard, TabReachesTheLinksAndEnterOrSpaceFollowsThem)
{
    TfrmMain& f = StartReady();
    f.chkDeliveredDates->setFocus();
    QTest::keyClick(f.chkDeliveredDates, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), f.lnkALL);
    QTest::keyClick(f.lnkALL, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), f.lnkNONE);
    QTest::keyClick(f.lnkNONE, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), f.lnkQuorvan);

    f.lnkNONE->setFocus();
    QTest::keyClick(f.lnkNONE, Qt::Key_Space);
    EXPECT_EQ(Ticks(), "--");
    f.lnkALL->setFocus();
    QTest::keyClick(f.lnkALL, Qt::Key_Return);
    EXPECT_EQ(Ticks(), "xx");
    EXPECT_TRUE(f.isVisible()) << "Enter on a link is the link's, not OK's";
    QTest::keyClick(f.lnkALL, Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(Ticks(), "xx");

    // A click runs the link but leaves the focus where it was.
    f.edtDestEmail->setFocus();
    QTest::mouseClick(f.lnkNONE, Qt::LeftButton);
    EXPECT_EQ(Ticks(), "--");
    EXPECT_NE(QApplication::focusWidget(), f.lnkNONE);
}
