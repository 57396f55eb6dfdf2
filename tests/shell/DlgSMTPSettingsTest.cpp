#include "shell/DlgSMTPSettings.h"

#include "shell/LinkLabel.h"
#include "shell/SpinEdit.h"
#include "tests/shell/FakeShellServices.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"
#include "tests/shell/Captions.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

class SMTPSettings : public ::testing::Test {
protected:
    // A fresh dialog over the current values, shown.
    TdlgSMTPSettings& Open()
    {
        dlg_ = std::make_unique<TdlgSMTPSettings>(services_);
        dlg_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
        return *dlg_;
    }
    static void Type(QLineEdit* edit, const QString& text)
    {
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    static void TypePort(QSpinBox* port, const QString& text)
    {
        port->selectAll();
        QTest::keyClick(port, Qt::Key_Delete);
        QTest::keyClicks(port, text);
    }
    TMailServerSettings& Values() { return services_.Host.Settings.Server; }

    TFakeShellServices services_;
    TBoxRecorder boxes_;
    std::unique_ptr<TdlgSMTPSettings> dlg_;
};

} // namespace

TEST_F(SMTPSettings, ControlsAsDesigned)
{
    TdlgSMTPSettings& d = Open();
    EXPECT_EQ(d.windowTitle(), "SMTP Server Settings");
    // The design's size and one row for the connection security.
    EXPECT_EQ(d.size(), QSize(351, 323));
    EXPECT_EQ(d.minimumSize(), d.maximumSize());
    for (const char* name : {"lblSMTPHost", "edtSMTPHost", "lblSMTPPort", "edtSMTPPort", "chkSMTPAuthentication",
                             "lblUserID", "edtSMTPID", "lblSMTPPassword", "edtSMTPPassword", "lnkTestSMTP",
                             "lnkSMTPShelp", "lblSMTPSecurity", "cmbSMTPSecurity"})
        EXPECT_NE(d.findChild<QWidget*>(name), nullptr) << name;
    EXPECT_EQ(Shown(d.lblSMTPHost->text()), "SMTP Server (e.g. smtp.example.com): ");
    EXPECT_EQ(d.edtSMTPHost->toolTip(), "The address of your SMTP mail server, e.g. smtp.example.com or mail.example.net");
    EXPECT_EQ(Shown(d.lblSMTPPort->text()), "Port (generally this is 25): ");
    EXPECT_TRUE(d.edtSMTPPort->toolTip().contains("587")) << d.edtSMTPPort->toolTip().toStdString();
    EXPECT_TRUE(d.edtSMTPPort->toolTip().contains("465"));
    EXPECT_EQ(Shown(d.lblSMTPSecurity->text()), "Connection security:");
    ASSERT_EQ(d.cmbSMTPSecurity->count(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(d.cmbSMTPSecurity->itemText(i).toStdString(), (std::vector<std::string>{"Auto", "STARTTLS", "SSL/TLS", "None"})[i]);
    EXPECT_FALSE(d.cmbSMTPSecurity->toolTip().isEmpty());
    EXPECT_EQ(d.cmbSMTPSecurity->currentText(), "Auto") << "a first start protects the mail where it can";
    EXPECT_EQ(Shown(d.chkSMTPAuthentication->text()), "My SMTP Server requires authentication:");
    EXPECT_EQ(d.lnkTestSMTP->text(), "Send Test message using these settings");
    EXPECT_EQ(d.lnkSMTPShelp->text(), "Where can I find my SMTP Settings?");
    EXPECT_TRUE(d.lnkTestSMTP->alignment() & Qt::AlignRight);
    EXPECT_EQ(d.edtSMTPPassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(d.btnOK->isDefault());
    EXPECT_EQ(d.btnOK->icon().cacheKey(), services_.Image(6).cacheKey());
    EXPECT_EQ(d.btnCancel->icon().cacheKey(), services_.Image(7).cacheKey());
    // Defaults of a first start: no host, port 25, no login.
    EXPECT_EQ(d.edtSMTPHost->text(), "");
    EXPECT_EQ(d.edtSMTPPort->value(), 25);
    EXPECT_FALSE(d.chkSMTPAuthentication->isChecked());
    for (QWidget* w : std::initializer_list<QWidget*>{d.lblUserID, d.edtSMTPID, d.lblSMTPPassword,
                                                      d.edtSMTPPassword, d.lnkTestSMTP})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(d.lnkSMTPShelp->isEnabled());
}

TEST_F(SMTPSettings, ShowsTheCurrentValuesWithMatchingStates)
{
    Values() = {"smtp.mail.example", "jane", "s3cret", 587, 90, true, ssAuto, "", false, {}, {}, {}};
    TdlgSMTPSettings& d = Open();
    EXPECT_EQ(d.edtSMTPHost->text(), "smtp.mail.example");
    EXPECT_EQ(d.edtSMTPPort->value(), 587);
    EXPECT_EQ(d.edtSMTPID->text(), "jane");
    EXPECT_EQ(d.edtSMTPPassword->text(), "s3cret");
    EXPECT_TRUE(d.chkSMTPAuthentication->isChecked());
    EXPECT_TRUE(d.edtSMTPID->isEnabled());
    EXPECT_TRUE(d.lblSMTPPassword->isEnabled());
    EXPECT_TRUE(d.lnkTestSMTP->isEnabled());

    QTest::mouseClick(d.chkSMTPAuthentication, Qt::LeftButton);
    EXPECT_FALSE(d.edtSMTPID->isEnabled());
    EXPECT_FALSE(d.lblUserID->isEnabled());
    EXPECT_FALSE(d.edtSMTPPassword->isEnabled());
    QTest::mouseClick(d.chkSMTPAuthentication, Qt::LeftButton);
    EXPECT_TRUE(d.edtSMTPPassword->isEnabled());
}

TEST_F(SMTPSettings, TestLinkNeedsADotAfterTheFirstCharacter)
{
    TdlgSMTPSettings& d = Open();
    const struct {
        const char* host;
        bool enabled;
    } cases[] = {{"localhost", false}, {".example", false}, {".mail.example", false}, {"a.", true},
                 {"mail.example", true}, {"127.0.0.1", true}, {"", false}};
    for (const auto& c : cases) {
        Type(d.edtSMTPHost, c.host);
        EXPECT_EQ(d.lnkTestSMTP->isEnabled(), c.enabled) << c.host;
    }
}

TEST_F(SMTPSettings, PortAndHostAreCheckedOnOK)
{
    TdlgSMTPSettings& d = Open();
    Type(d.edtSMTPHost, "mail.example");
    for (const char* port : {"0", "-25", "", "-", "abc", "25x", "70000", "65536"}) {
        boxes_.Boxes.clear();
        TypePort(d.edtSMTPPort, port);
        QTest::mouseClick(d.btnOK, Qt::LeftButton);
        EXPECT_TRUE(d.isVisible()) << port;
        ASSERT_EQ(boxes_.Boxes.size(), 1u) << port;
        EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a valid SMTP port!");
        EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Warning);
        EXPECT_EQ(boxes_.Boxes[0].Buttons, TMsgButtons::OK);
    }
    EXPECT_EQ(Values().Host, "") << "nothing is stored while the port is refused";

    // The port is checked before the host.
    boxes_.Boxes.clear();
    Type(d.edtSMTPHost, "");
    TypePort(d.edtSMTPPort, "0");
    EXPECT_FALSE(d.CommitSMTPSettings());
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a valid SMTP port!");

    boxes_.Boxes.clear();
    TypePort(d.edtSMTPPort, "587");
    QTest::mouseClick(d.btnOK, Qt::LeftButton);
    EXPECT_TRUE(d.isVisible());
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "Please specify your SMTP server.");
    EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Information);
}

TEST_F(SMTPSettings, OkStoresEveryValueAsTyped)
{
    Values().TimeOutSeconds = 45;
    TdlgSMTPSettings& d = Open();
    Type(d.edtSMTPHost, "relay.example");
    TypePort(d.edtSMTPPort, "65535");
    // Unticked, the login is still stored as typed.
    d.edtSMTPID->setText("jane");
    d.edtSMTPPassword->setText("pass word");
    QTest::mouseClick(d.btnOK, Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes_.Boxes.empty());
    EXPECT_EQ(Values().Host, "relay.example");
    EXPECT_EQ(Values().Port, 65535);
    EXPECT_EQ(Values().Username, "jane");
    EXPECT_EQ(Values().Password, "pass word");
    EXPECT_FALSE(Values().Logon);
    EXPECT_EQ(Values().TimeOutSeconds, 45) << "the time-out is not the dialog's to change";

    TdlgSMTPSettings& again = Open();
    EXPECT_EQ(again.edtSMTPPort->value(), 65535);
    QTest::mouseClick(again.chkSMTPAuthentication, Qt::LeftButton);
    TypePort(again.edtSMTPPort, "1");
    ASSERT_TRUE(again.CommitSMTPSettings());
    EXPECT_TRUE(Values().Logon);
    EXPECT_EQ(Values().Port, 1);
}

TEST_F(SMTPSettings, CancelAndEscapeKeepTheOldValues)
{
    Values() = {"old.example", "", "", 25, 90, false, ssAuto, "", false, {}, {}, {}};
    TdlgSMTPSettings& d = Open();
    Type(d.edtSMTPHost, "new.example");
    QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(Values().Host, "old.example");

    // Escape closes from any control, the port field and the check box too.
    for (int i = 0; i < 3; ++i) {
        TdlgSMTPSettings& e = Open();
        QWidget* focus[] = {e.edtSMTPHost, e.edtSMTPPort, e.chkSMTPAuthentication};
        focus[i]->setFocus();
        QTest::keyRelease(focus[i], Qt::Key_Escape);
        EXPECT_FALSE(e.isVisible()) << i;
        EXPECT_EQ(e.result(), QDialog::Rejected) << i;
    }
    EXPECT_EQ(Values().Host, "old.example");
}

TEST_F(SMTPSettings, HelpLinkOpensTheGuideFromTheProgramFolder)
{
    TTempDataFolder folder;
    WriteFile(folder.Root() + "SMTP_Settings.html", "<html></html>");
    services_.Folder = QString::fromStdString(folder.Root());
    TOpenedUrls opened({"file"});
    TdlgSMTPSettings& d = Open();
    QTest::mouseClick(d.lnkSMTPShelp, Qt::LeftButton);
    ASSERT_EQ(opened.Urls.size(), 1);
    EXPECT_EQ(opened.Urls[0], QUrl::fromLocalFile(QString::fromStdString(folder.Root() + "SMTP_Settings.html")));
    EXPECT_TRUE(boxes_.Boxes.empty());
}

TEST_F(SMTPSettings, TestMessageNeedsADestination)
{
    Values() = {"mail.example", "", "", 25, 90, false, ssAuto, "", false, {}, {}, {}};
    for (const char* dest : {"", "@news.example", "no-at-sign"}) {
        services_.Host.Settings.DestEmail = dest;
        boxes_.Boxes.clear();
        TdlgSMTPSettings& d = Open();
        Type(d.edtSMTPHost, "other.example");
        QTest::mouseClick(d.lnkTestSMTP, Qt::LeftButton);
        ASSERT_EQ(boxes_.Boxes.size(), 1u) << dest;
        EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a destination e-mail address in the main window.");
        EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Error);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(Values().Host, "mail.example") << "nothing is committed before the destination check";
    }
}

TEST_F(SMTPSettings, TestMessageArrivesAtTheServer)
{
    TTempDataFolder folder;
    TMailServer server(folder.Root() + "mail");
    services_.Host.Settings.DestEmail = "Jane Reader <jane@reader.example>, bob@reader.example";
    services_.Host.Settings.SenderAddress = "Vendrel <vendrel@home.example>";
    TdlgSMTPSettings& d = Open();
    Type(d.edtSMTPHost, "127.0.0.1");
    TypePort(d.edtSMTPPort, QString::number(server.Port()));
    QTest::mouseClick(d.chkSMTPAuthentication, Qt::LeftButton);
    d.edtSMTPID->setText("vendrel");
    d.edtSMTPPassword->setText("secret");
    // This server speaks plain SMTP: a login over it needs the user's
    // explicit choice.
    d.cmbSMTPSecurity->setCurrentIndex(3);
    QTest::mouseClick(d.lnkTestSMTP, Qt::LeftButton);

    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "Your test message was sent successfully.");
    EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Information);
    EXPECT_TRUE(services_.Host.Boxes.empty());
    EXPECT_TRUE(d.isVisible());

    const std::string stored = server.WaitForMessage(1);
    ASSERT_TRUE(FileExists(stored));
    const std::string parts = folder.Root() + "parts";
    const std::string command =
        std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py " + stored + " " + parts;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string headers = ReadFile(parts + "/headers.txt");
    EXPECT_NE(headers.find("Subject: Test Message from Vendrel\n"), std::string::npos) << headers;
    EXPECT_NE(headers.find("From: vendrel@home.example\n"), std::string::npos) << headers;
    EXPECT_NE(headers.find("To: jane@reader.example, bob@reader.example\n"), std::string::npos) << headers;
    EXPECT_EQ(ReadFile(parts + "/1.text_plain"), "This is a test message sent from Vendrel\r\n");
    const std::string envelope = ReadFile(stored.substr(0, stored.size() - 4) + ".json");
    EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;

    // Cancelling after a test keeps the tested values.
    QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    EXPECT_EQ(Values().Host, "127.0.0.1");
    EXPECT_EQ(Values().Port, server.Port());
    EXPECT_TRUE(Values().Logon);
    EXPECT_EQ(Values().Username, "vendrel");
}

TEST_F(SMTPSettings, FailedTestKeepsTheValuesAndSaysSo)
{
    // A port that nothing listens on: take one from a server that has ended.
    int closedPort = 0;
    {
        TTempDataFolder folder;
        TMailServer server(folder.Root() + "mail");
        closedPort = server.Port();
    }
    services_.Host.Settings.DestEmail = "jane@reader.example";
    TdlgSMTPSettings& d = Open();
    Type(d.edtSMTPHost, "127.0.0.1");
    TypePort(d.edtSMTPPort, QString::number(closedPort));
    QTest::mouseClick(d.lnkTestSMTP, Qt::LeftButton);

    // The send shows its own error through the window, then the dialog its summary.
    ASSERT_EQ(services_.Host.Boxes.size(), 1u);
    EXPECT_EQ(services_.Host.Boxes[0].Kind, TMsgKind::Error);
    EXPECT_EQ(services_.Host.Boxes[0].Text.rfind("Sending of message with SMTP failed with the error: \r\n\r\n", 0), 0u)
        << services_.Host.Boxes[0].Text;
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "An error was encountered sending your test message.  Please check your settings.");
    EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Error);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(Values().Port, closedPort);
    EXPECT_EQ(Values().Host, "127.0.0.1");
}

TEST_F(SMTPSettings, TestMessageStopsAtARefusedPort)
{
    services_.Host.Settings.DestEmail = "jane@reader.example";
    TdlgSMTPSettings& d = Open();
    Type(d.edtSMTPHost, "127.0.0.1");
    TypePort(d.edtSMTPPort, "0");
    QTest::mouseClick(d.lnkTestSMTP, Qt::LeftButton);
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a valid SMTP port!");
    EXPECT_EQ(Values().Host, "");
}

TEST_F(SMTPSettings, ConnectionSecurityShowsAndStoresTheChoice)
{
    Values() = {"smtp.mail.example", "jane", "s3cret", 465, 90, true, ssImplicitTLS, "/etc/ca.pem", false, {}, {}, {}};
    TdlgSMTPSettings& d = Open();
    EXPECT_EQ(d.cmbSMTPSecurity->currentText(), "SSL/TLS");
    // Chosen by keyboard, as a user without a mouse would.
    d.cmbSMTPSecurity->setFocus();
    QTest::keyClick(d.cmbSMTPSecurity, Qt::Key_Down);
    EXPECT_EQ(d.cmbSMTPSecurity->currentText(), "None");
    QTest::mouseClick(d.btnOK, Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(Values().Security, ssNone);
    EXPECT_EQ(Values().CAFile, "/etc/ca.pem") << "the CA file is kept: the dialog does not edit it";

    TdlgSMTPSettings& again = Open();
    EXPECT_EQ(again.cmbSMTPSecurity->currentText(), "None");
    again.cmbSMTPSecurity->setCurrentIndex(1);
    ASSERT_TRUE(again.CommitSMTPSettings());
    EXPECT_EQ(Values().Security, ssStartTLS);
}

TEST_F(SMTPSettings, KeyboardReachesTheLinksAndEnterFollowsThemNotOk)
{
    Values() = {"mail.example", "", "", 25, 90, false, ssAuto, "", false, {}, {}, {}};
    TTempDataFolder folder;
    WriteFile(folder.Root() + "SMTP_Settings.html", "<html></html>");
    services_.Folder = QString::fromStdString(folder.Root());
    TOpenedUrls opened({"file"});
    TdlgSMTPSettings& d = Open();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));

    // Login fields are off: Tab goes from the box straight to the links.
    d.chkSMTPAuthentication->setFocus();
    QTest::keyClick(d.chkSMTPAuthentication, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), d.lnkTestSMTP);
    QTest::keyClick(d.lnkTestSMTP, Qt::Key_Space);
    ASSERT_EQ(boxes_.Boxes.size(), 1u) << "Space sent the test message";
    EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a destination e-mail address in the main window.");

    QTest::keyClick(d.lnkTestSMTP, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), d.lnkSMTPShelp);
    QTest::keyClick(d.lnkSMTPShelp, Qt::Key_Return);
    EXPECT_EQ(opened.Urls.size(), 1);
    EXPECT_TRUE(d.isVisible()) << "Enter on a link is not OK";
    QTest::keyClick(d.lnkSMTPShelp, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), d.btnOK);

    // Alt+S reaches the host field; Enter there is OK.
    QTest::keyClick(&d, Qt::Key_S, Qt::AltModifier);
    ASSERT_EQ(QApplication::focusWidget(), d.edtSMTPHost);
    Type(d.edtSMTPHost, "typed.example");
    QTest::keyClick(d.edtSMTPHost, Qt::Key_Return);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(Values().Host, "typed.example");
}

TEST_F(SMTPSettings, ValuesTheFileSpelledWronglyAreShownForTheUserToMend)
{
    TMailServerSettings held{"smtp.mail.example", "jane", "s3cret", 2500, 90, true, ssAuto, "", false, {}, {}, {}};
    held.PortText = "0x9C4";
    held.SecurityText = "TLS please";
    Values() = held;
    TdlgSMTPSettings& d = Open();
    EXPECT_EQ(d.cmbSMTPSecurity->currentText(), "Auto");
    ASSERT_TRUE(d.lblSecurityNote->isVisible());
    EXPECT_EQ(d.lblSecurityNote->text(), "The settings file held \"TLS please\" as the connection security, which is "
                                         "none of these; Auto is shown until you choose.");
    EXPECT_EQ(d.size(), QSize(351, 323 + 34)) << "the note has a row of its own";
    EXPECT_EQ(d.edtSMTPPort->text(), "0x9C4") << "shown as the file held it, not as 25 or 2500";

    // OK refuses the port as it stands.
    QTest::mouseClick(d.btnOK, Qt::LeftButton);
    EXPECT_TRUE(d.isVisible());
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a valid SMTP port!");
    EXPECT_EQ(Values().PortText, "0x9C4");

    // Cancel keeps what the file held; mended and confirmed, the choices shown are the values.
    QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    EXPECT_EQ(Values().SecurityText, "TLS please");
    TdlgSMTPSettings& again = Open();
    TypePort(again.edtSMTPPort, "2525");
    QTest::mouseClick(again.btnOK, Qt::LeftButton);
    EXPECT_EQ(again.result(), QDialog::Accepted);
    EXPECT_EQ(Values().Port, 2525);
    EXPECT_FALSE(Values().PortText);
    EXPECT_FALSE(Values().SecurityText);
    EXPECT_EQ(Values().Security, ssAuto);

    TdlgSMTPSettings& plain = Open();
    EXPECT_FALSE(plain.lblSecurityNote->isVisible());
    EXPECT_EQ(plain.size(), QSize(351, 323));
}
