// The window's delivering actions against real servers on 127.0.0.1: Check
// Now and Send Site through a local HTTP server and the real SMTP server,
// the busy look while they run, a window that keeps working while a slow
// server takes its time, and a save or a second check asked for meanwhile.

#include "engine/Product.h"
#include "shell/DlgEditSite.h"
#include "shell/DlgSMTPSettings.h"
#include "shell/SiteListView.h"
#include "shell/SpinEdit.h"
#include "tests/shell/WindowFixture.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/MailServer.h"
#include "tests/support/ScriptedServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

std::string Page(const std::string& text)
{
    return "<html><head><title>" + text + "</title></head><body><p>" + text +
           "</p><a href=\"more.html\">more</a></body></html>\r\n";
}

std::size_t CountOf(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::string Unfolded(std::string qp)
{
    for (auto at = qp.find("=\r\n"); at != std::string::npos; at = qp.find("=\r\n", at))
        qp.erase(at, 3);
    return qp;
}

class Delivery : public WindowFixture {
protected:
    TLoopbackHttpServer http;

    TSettings MailSettings(int port)
    {
        TSettings s = QuietSettings();
        s.DestEmail = "me@example.org";
        s.Server.Host = "127.0.0.1";
        s.Server.Port = port;
        s.Server.TimeOutSeconds = 20;
        s.OncePerDay = false;
        s.CheckFrequency = 2;
        return s;
    }
};

// A server that takes its time over each message, as a busy one may.
TScriptedServer::TScript SlowServer(std::string& data, int delayMs)
{
    return [&data, delayMs](TScriptedPeer& peer) {
        peer.Send("220 slow\r\n");
        for (;;) {
            const std::string line = peer.ReadLine();
            if (peer.Closed())
                return;
            if (line.rfind("EHLO", 0) == 0) {
                peer.Send("250 slow\r\n");
            } else if (line == "DATA") {
                peer.Send("354 go\r\n");
                data += peer.ReadData();
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                peer.Send("250 queued\r\n");
            } else if (line == "QUIT") {
                peer.Send("221 bye\r\n");
                return;
            } else {
                peer.Send("250 ok\r\n");
            }
        }
    };
}

TEST_F(Delivery, CheckNowMailsChangedTickedSitesAndShowsTheBusyLook)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a/", Page("alpha"));
    http.SetPage("/b/", Page("beta"));
    TSettings s = MailSettings(mail.Port());
    s.ShowDeliveredDates = true;
    WriteUserFiles(s, MakeSites({{"Alpha", http.Url("/a/"), true}, {"Beta", http.Url("/b/"), false}}));
    TfrmMain& f = Start();

    std::vector<TTrayImage> images;
    std::vector<QString> captions;
    QObject::connect(&f, &TfrmMain::TrayStateChanged, [&] {
        images.push_back(f.TrayImageKind());
        captions.push_back(f.windowTitle());
    });
    QTest::mouseClick(f.btnChangeNow, Qt::LeftButton);

    const auto messages = mail.Messages();
    ASSERT_EQ(messages.size(), 1u) << f.memLog->toPlainText().toStdString();
    EXPECT_NE(messages[0].find("Subject: Vendrel Delivery: Alpha\r\n"), std::string::npos);
    EXPECT_NE(Unfolded(messages[0]).find(http.Url("/a/more.html")), std::string::npos);
    EXPECT_EQ(http.Requests(), 1);
    EXPECT_TRUE(f.memLog->toPlainText().contains("Alpha processed, Delivering"));
    EXPECT_EQ(ReadFile(StoredPagePath("Alpha")), Page("alpha"));
    EXPECT_NE(f.RowDelegate().DateText("Alpha", true), "Never Delivered");

    ASSERT_FALSE(images.empty());
    EXPECT_EQ(images.front(), TTrayImage::Busy);
    EXPECT_NE(std::find(captions.begin(), captions.end(), "Vendrel - Downloading Site 1 of 2: Alpha"), captions.end());
    EXPECT_EQ(f.windowTitle().toStdString(), DefaultCaption);
    EXPECT_TRUE(f.TimerAnim.isActive()) << "a delivery makes the tray icon flash";
    EXPECT_EQ(f.Cursor(), TCursor::Default);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the hourglass is gone";
    EXPECT_TRUE(f.Timer1.isActive()) << "the pass re-arms the scheduler";
    EXPECT_EQ(f.Timer1.interval(), 2 * 3600 * 1000);

    // Nothing changed: the second press sends nothing.
    QTest::mouseClick(f.btnChangeNow, Qt::LeftButton);
    EXPECT_EQ(mail.Messages().size(), 1u);
    EXPECT_TRUE(f.memLog->toPlainText().contains("Alpha unchanged (0), Skipping"));
    EXPECT_TRUE(boxes.Seen.empty());
}

TEST_F(Delivery, CheckNowWithoutAValidAddressDoesNothingButSaySo)
{
    http.SetPage("/a/", Page("alpha"));
    TSettings s = MailSettings(1);
    s.DestEmail = "@example.org";
    WriteUserFiles(s, MakeSites({{"Alpha", http.Url("/a/"), true}}));
    TfrmMain& f = Start();
    f.btnChangeNow->click();
    EXPECT_EQ(boxes.Texts(), QStringList({"You have not specified a destination e-mail address for delivery of your "
                                          "sites."}));
    EXPECT_EQ(http.Requests(), 0);
}

TEST_F(Delivery, SendSiteDeliversTheCurrentRowWhateverChangedAndReportsFailures)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a/", Page("alpha"));
    TSettings s = MailSettings(mail.Port());
    WriteUserFiles(s, MakeSites({{"Alpha", http.Url("/a/"), false}, {"Gone", "http://127.0.0.1:1/", true}}));
    WriteFile(StoredPagePath("Alpha"), Page("alpha"));
    TfrmMain& f = Start();

    f.SetCurrentRow(0);
    f.btnTestSite->click();
    ASSERT_EQ(mail.Messages().size(), 1u) << "an unticked, unchanged site is still sent";
    EXPECT_TRUE(boxes.Seen.empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    f.SetCurrentRow(1);
    f.btnTestSite->click();
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_EQ(boxes.Seen[0].Text, "Gone Error: Site Download Error");
    EXPECT_EQ(boxes.Seen[0].Icon, QMessageBox::Critical);
    EXPECT_TRUE(f.memLog->toPlainText().contains("Error processing Gone: Site Download Error"));
    EXPECT_EQ(f.TrayImageKind(), TTrayImage::Normal) << "the busy look ends also after a failure";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Delivery, WindowKeepsWorkingWhileASlowServerTakesTheMessage)
{
    std::string data;
    TScriptedServer server(SlowServer(data, 600));
    http.SetPage("/a/", Page("alpha"));
    WriteUserFiles(MailSettings(server.Port()), MakeSites({{"Alpha", http.Url("/a/"), true}}));
    TfrmMain& f = Start();

    // A timer of the window fires while the server sits on the message, and
    // the user's typing reaches its field.
    int ticks = 0;
    bool sawSending = false;
    QTimer probe;
    probe.setInterval(40);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++ticks;
        if (f.Engine().Sending() && !sawSending) {
            sawSending = true;
            QTest::keyClicks(f.edtSubject, " typed");
        }
    });
    probe.start();
    f.btnChangeNow->click();
    probe.stop();
    server.Finish();

    EXPECT_TRUE(sawSending) << "events were handled during the send";
    EXPECT_GE(ticks, 10);
    EXPECT_TRUE(f.edtSubject->text().endsWith(" typed"));
    EXPECT_NE(data.find("Subject: Vendrel Delivery: Alpha\r\n"), std::string::npos);
    EXPECT_TRUE(FileExists(StoredPagePath("Alpha")));
}

TEST_F(Delivery, SaveAndSecondCheckAskedForDuringAPassKeepTheFilesWhole)
{
    // A slow server that takes the pass's sessions side by side.
    std::mutex dataLock;
    std::string data;
    TScriptedServer server(
        [&](TScriptedPeer& peer) {
            std::string mine;
            SlowServer(mine, 400)(peer);
            std::lock_guard hold(dataLock);
            data += mine;
        },
        3, true);
    http.SetPage("/a/", Page("alpha"));
    http.SetPage("/b/", Page("beta"));
    http.SetPage("/c/", Page("gamma"));
    WriteUserFiles(MailSettings(server.Port()), MakeSites({{"Alpha", http.Url("/a/"), true},
                                                           {"Beta", http.Url("/b/"), true},
                                                           {"Gamma", http.Url("/c/"), true}}));
    TfrmMain& f = Start();

    // While the first message is with the server: OK (hide and save), then
    // Check Now again, as an impatient user would.
    bool pressed = false;
    QTimer probe;
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (pressed || !f.Engine().Sending())
            return;
        pressed = true;
        f.edtSubject->setText("Saved meanwhile");
        f.btnOK->click();
        f.btnChangeNow->click();
    });
    probe.start();
    f.btnChangeNow->click();
    probe.stop();
    server.Finish();

    ASSERT_TRUE(pressed);
    EXPECT_TRUE(boxes.Seen.empty()) << boxes.Texts().join("|").toStdString();
    EXPECT_FALSE(f.isVisible());
    // The second Check Now stopped the running pass; the mails already
    // handed to the server went out once each, and a page is stored exactly
    // when its mail went out. The settings file is whole.
    std::lock_guard hold(dataLock);
    for (const char* name : {"Alpha", "Beta", "Gamma"}) {
        const auto mails = CountOf(data, std::string("Subject: Vendrel Delivery: ") + name + "\r\n");
        EXPECT_LE(mails, 1u) << name;
        EXPECT_EQ(FileExists(StoredPagePath(name)), mails == 1) << name;
    }
    EXPECT_GE(CountOf(data, "Subject: "), 1u);
    const std::string settings = SettingsText();
    EXPECT_NE(settings.find("Subject=Saved meanwhile"), std::string::npos);
    EXPECT_NE(settings.find("MarkChanges="), std::string::npos) << "the last key is there";
    EXPECT_NE(ReadFile(Files().SitesPath()).find("Gamma"), std::string::npos);
    EXPECT_FALSE(f.Engine().Running());
    EXPECT_TRUE(f.Timer1.isActive());
}

// A new user's first hour: an empty data folder, a site added through the
// site editor, the address and the mail server set through the window and
// its dialog, Check Now, and the page in the mail the server received.
TEST_F(Delivery, NewUserAddsASiteSetsUpMailAndGetsThePage)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/news/", Page("fresh news"));
    ASSERT_FALSE(FileExists(Files().SitesPath()));
    TfrmMain& f = Start();
    EXPECT_EQ(f.Sites().Count(), 0) << "the program's own list is empty here";
    EXPECT_TRUE(boxes.Seen.empty());

    boxes.OnDialog = [&](QDialog* dialog) {
        if (auto* editor = qobject_cast<TdlgEditSite*>(dialog)) {
            EXPECT_EQ(editor->edtSiteURL->text(), "http://");
            editor->edtSiteName->setText("Local News");
            editor->edtSiteURL->setText(QString::fromStdString(http.Url("/news/")));
            editor->btnOK->click();
        } else if (auto* server = qobject_cast<TdlgSMTPSettings*>(dialog)) {
            server->edtSMTPHost->setText("127.0.0.1");
            server->edtSMTPPort->setValue(mail.Port());
            server->btnOK->click();
        } else {
            dialog->reject();
        }
    };
    QTest::mouseClick(f.btnAddSite, Qt::LeftButton);
    ASSERT_EQ(f.Sites().Count(), 1);
    EXPECT_EQ(SiteNameOf(f.Sites(), 0), "Local News");
    EXPECT_TRUE(f.Sites().Checked(0)) << "an added site is ticked";

    f.pgcMain->setCurrentIndex(1);
    f.edtDestEmail->setFocus();
    QTest::keyClicks(f.edtDestEmail, "reader@example.org");
    QTest::mouseClick(f.btnSMTPSettings, Qt::LeftButton);
    EXPECT_EQ(f.MailServer().Host, "127.0.0.1");
    EXPECT_EQ(f.MailServer().Port, mail.Port());
    // This machine's connection test is not the point here.
    if (f.chkActiveNet->isChecked())
        QTest::mouseClick(f.chkActiveNet, Qt::LeftButton);

    QTest::mouseClick(f.btnChangeNow, Qt::LeftButton);
    const auto messages = mail.Messages();
    ASSERT_EQ(messages.size(), 1u) << f.memLog->toPlainText().toStdString();
    EXPECT_NE(messages[0].find("Subject: Vendrel Delivery: Local News\r\n"), std::string::npos);
    EXPECT_NE(messages[0].find("To: reader@example.org"), std::string::npos);
    EXPECT_NE(Unfolded(messages[0]).find("fresh news"), std::string::npos);
    EXPECT_TRUE(boxes.Seen.empty()) << boxes.Texts().join("|").toStdString();

    // OK keeps it all for the next start.
    QTest::mouseClick(f.btnOK, Qt::LeftButton);
    EXPECT_FALSE(f.isVisible());
    EXPECT_NE(SettingsText().find("DestEmail=reader@example.org"), std::string::npos);
    EXPECT_NE(ReadFile(Files().SitesPath()).find("Local News"), std::string::npos);
}

} // namespace
