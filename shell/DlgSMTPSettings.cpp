#include "shell/DlgSMTPSettings.h"

#include "delivery/MailComposer.h"
#include "engine/SiteMonitor.h"
#include "shell/DialogFrame.h"
#include "shell/LinkLabel.h"
#include "shell/MessageBoxes.h"
#include "shell/OpenDocument.h"
#include "shell/QtText.h"
#include "shell/ShellServices.h"
#include "shell/SpinEdit.h"
#include "transport/NetSecurity.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>


namespace {

constexpr int HighestPort = 65535;
constexpr int SecurityRowHeight = 28;
// The line under the password that says where it is kept.
constexpr int PasswordStoreRowHeight = 30;
constexpr int SecurityNoteHeight = 34;
constexpr int ClientWidth = 351;
constexpr int ClientHeight = 265 + SecurityRowHeight + PasswordStoreRowHeight;

} // namespace

TdlgSMTPSettings::TdlgSMTPSettings(TShellServices& services, QWidget* parent)
    : QDialog(parent), services_(services)
{
    setObjectName("dlgSMTPSettings");
    setWindowTitle("SMTP Server Settings");

    lblSMTPHost = new QLabel(QString("SMTP &Server (e.g. %1): ").arg(ExampleSMTPHost), this);
    lblSMTPHost->setObjectName("lblSMTPHost");
    edtSMTPHost = new QLineEdit(this);
    edtSMTPHost->setObjectName("edtSMTPHost");
    edtSMTPHost->setToolTip(QString("The address of your SMTP mail server, e.g. %1 or %2")
                                .arg(ExampleSMTPHost, OtherExampleSMTPHost));
    lblSMTPHost->setBuddy(edtSMTPHost);

    lblSMTPPort = new QLabel("&Port (generally this is 25): ", this);
    lblSMTPPort->setObjectName("lblSMTPPort");
    edtSMTPPort = new TSpinEdit(this);
    edtSMTPPort->setObjectName("edtSMTPPort");
    // No range of its own: what is acceptable is decided on OK, with a message.
    edtSMTPPort->SetLimits(0, 0);
    edtSMTPPort->setMinimumWidth(80);
    edtSMTPPort->setToolTip("The port that will be used to connect to your SMTP server: generally 587 with "
                            "STARTTLS, 465 with SSL/TLS, or 25");
    lblSMTPPort->setBuddy(edtSMTPPort);
    lblSMTPSecurity = new QLabel("Connection securit&y:", this);
    lblSMTPSecurity->setObjectName("lblSMTPSecurity");
    cmbSMTPSecurity = new QComboBox(this);
    cmbSMTPSecurity->setObjectName("cmbSMTPSecurity");
    // In the order of TSMTPSecurity, so that an item's index is its choice.
    for (TSMTPSecurity security : {ssAuto, ssStartTLS, ssImplicitTLS, ssNone})
        cmbSMTPSecurity->addItem(QtText(SMTPSecurityText(security)));
    cmbSMTPSecurity->setToolTip("How the connection to your SMTP server is protected: Auto uses SSL/TLS on port 465 "
                                "and STARTTLS whenever the server offers it; None sends your password unprotected");
    lblSMTPSecurity->setBuddy(cmbSMTPSecurity);
    lblSecurityNote = new QLabel(this);
    lblSecurityNote->setObjectName("lblSecurityNote");
    lblSecurityNote->setWordWrap(true);
    lblSecurityNote->setFixedHeight(SecurityNoteHeight);
    lblSecurityNote->hide();

    chkSMTPAuthentication = new QCheckBox("My SMTP Server requires &authentication:", this);
    chkSMTPAuthentication->setObjectName("chkSMTPAuthentication");
    chkSMTPAuthentication->setToolTip(
        "Some SMTP servers require logging in.  If yours does, select this option and specify your details");

    lblUserID = new QLabel("&User name:", this);
    lblUserID->setObjectName("lblUserID");
    lblUserID->setEnabled(false);
    edtSMTPID = new QLineEdit(this);
    edtSMTPID->setObjectName("edtSMTPID");
    edtSMTPID->setToolTip("Your SMTP login user name");
    edtSMTPID->setEnabled(false);
    lblUserID->setBuddy(edtSMTPID);
    lblSMTPPassword = new QLabel("Pass&word:", this);
    lblSMTPPassword->setObjectName("lblSMTPPassword");
    lblSMTPPassword->setEnabled(false);
    edtSMTPPassword = new QLineEdit(this);
    edtSMTPPassword->setObjectName("edtSMTPPassword");
    edtSMTPPassword->setToolTip("Your SMTP login password");
    edtSMTPPassword->setEchoMode(QLineEdit::Password);
    edtSMTPPassword->setStyleSheet("lineedit-password-character: 42");
    edtSMTPPassword->setEnabled(false);
    lblSMTPPassword->setBuddy(edtSMTPPassword);
    lblPasswordStore = new QLabel(services_.KeyringAvailable()
                                      ? "Kept in your desktop's keyring."
                                      : "No keyring on this desktop: kept in Settings.dat, which only you can read.",
                                  this);
    lblPasswordStore->setObjectName("lblPasswordStore");
    lblPasswordStore->setWordWrap(true);
    lblPasswordStore->setEnabled(false);

    lnkTestSMTP = new TLinkLabel("Send Test message using these settings", this);
    lnkTestSMTP->setObjectName("lnkTestSMTP");
    lnkTestSMTP->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lnkTestSMTP->setToolTip("Deliver a test message to your e-mail address to confirm your settings are correct");
    lnkTestSMTP->setEnabled(false);
    lnkSMTPShelp = new TLinkLabel("Where can I find my SMTP Settings?", this);
    lnkSMTPShelp->setObjectName("lnkSMTPShelp");
    lnkSMTPShelp->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lnkSMTPShelp->setToolTip("Display information on finding your SMTP settings");

    const TOKCancelButtons okCancel = MakeOKCancelButtons(this, services_.Image(6), services_.Image(7));
    btnOK = okCancel.OK;
    btnCancel = okCancel.Cancel;

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 10);
    layout->setSpacing(3);
    layout->addWidget(lblSMTPHost);
    layout->addWidget(edtSMTPHost);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(lblSMTPPort);
    portRow->addWidget(edtSMTPPort);
    portRow->addStretch(1);
    auto* securityRow = new QHBoxLayout;
    securityRow->addWidget(lblSMTPSecurity);
    securityRow->addWidget(cmbSMTPSecurity);
    securityRow->addStretch(1);
    layout->addSpacing(4);
    layout->addLayout(portRow);
    layout->addLayout(securityRow);
    layout->addWidget(lblSecurityNote);
    layout->addSpacing(6);
    layout->addWidget(chkSMTPAuthentication);
    auto* login = new QGridLayout;
    login->setContentsMargins(20, 0, 0, 0);
    login->addWidget(lblUserID, 0, 0);
    login->addWidget(edtSMTPID, 0, 1);
    login->addWidget(lblSMTPPassword, 1, 0);
    login->addWidget(edtSMTPPassword, 1, 1);
    login->addWidget(lblPasswordStore, 2, 1);
    layout->addLayout(login);
    layout->addSpacing(8);
    layout->addWidget(lnkTestSMTP);
    layout->addWidget(lnkSMTPShelp);
    layout->addStretch(1);
    layout->addLayout(okCancel.Row);

    SetTabChain({edtSMTPHost, edtSMTPPort, cmbSMTPSecurity, chkSMTPAuthentication, edtSMTPID, edtSMTPPassword, lnkTestSMTP,
                 lnkSMTPShelp, btnOK, btnCancel});

    connect(chkSMTPAuthentication, &QCheckBox::toggled, this, &TdlgSMTPSettings::chkSMTPAuthenticationClick);
    connect(edtSMTPHost, &QLineEdit::textChanged, this, &TdlgSMTPSettings::edtSMTPHostChange);
    connect(lnkTestSMTP, &TLinkLabel::clicked, this, &TdlgSMTPSettings::lnkTestSMTPClick);
    connect(lnkSMTPShelp, &TLinkLabel::clicked, this, &TdlgSMTPSettings::lnkSMTPShelpClick);
    connect(btnOK, &QPushButton::clicked, this, &TdlgSMTPSettings::btnOKClick);

    // Escape closes the dialog from whichever control has the focus.
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);

    // Taller than the plain design by the security row and the line that says
    // where the password is kept.
    SetupDialogFrame(this, ClientWidth, ClientHeight);
    FillFromCurrentValues();
}

void TdlgSMTPSettings::FillFromCurrentValues()
{
    const TMailServerSettings s = services_.MailServer();
    edtSMTPHost->setText(QtText(s.Host));
    edtSMTPPort->setValue(s.Port);
    // A port the file spelled as no port at all is shown as it was, for OK
    // to refuse until it is mended. The field shows its number again when it
    // is shown, so the text goes in then.
    heldPortText_ = s.PortText ? std::optional(QtText(*s.PortText)) : std::nullopt;
    if (heldPortText_)
        edtSMTPPort->SetText(*heldPortText_);
    cmbSMTPSecurity->setCurrentIndex(static_cast<int>(s.Security));
    lblSecurityNote->setVisible(s.SecurityText.has_value());
    if (s.SecurityText) {
        lblSecurityNote->setText(QString("The settings file held \"%1\" as the connection security, which is none "
                                         "of these; Auto is shown until you choose.")
                                     .arg(QtText(*s.SecurityText)));
        setFixedSize(ClientWidth, ClientHeight + SecurityNoteHeight);
    }
    edtSMTPID->setText(QtText(s.Username));
    edtSMTPPassword->setText(QtText(s.Password));
    chkSMTPAuthentication->setChecked(s.Logon);
    // The rules run whether or not the values changed the controls.
    chkSMTPAuthenticationClick();
    edtSMTPHostChange();
}

void TdlgSMTPSettings::chkSMTPAuthenticationClick()
{
    const bool on = chkSMTPAuthentication->isChecked();
    lblUserID->setEnabled(on);
    edtSMTPID->setEnabled(on);
    lblSMTPPassword->setEnabled(on);
    edtSMTPPassword->setEnabled(on);
    lblPasswordStore->setEnabled(on);
}

void TdlgSMTPSettings::edtSMTPHostChange()
{
    lnkTestSMTP->setEnabled(edtSMTPHost->text().indexOf('.') >= 1);
}

bool TdlgSMTPSettings::CommitSMTPSettings()
{
    // A port beyond 65535 cannot be connected to; it is refused here rather
    // than failing every delivery later.
    // Text that is not a number reads as the field's minimum, 0.
    const int port = edtSMTPPort->Value();
    if (port < 1 || port > HighestPort) {
        ShowMessageBox(this, "You have not specified a valid SMTP port!", TMsgKind::Warning, TMsgButtons::OK);
        return false;
    }
    if (edtSMTPHost->text().isEmpty()) {
        ShowMessageBox(this, "Please specify your SMTP server.", TMsgKind::Information, TMsgButtons::OK);
        return false;
    }
    TMailServerSettings s = services_.MailServer();
    s.Port = port;
    s.Username = EngineText(edtSMTPID->text());
    s.Password = EngineText(edtSMTPPassword->text());
    s.Host = EngineText(edtSMTPHost->text());
    s.Logon = chkSMTPAuthentication->isChecked();
    s.Security = static_cast<TSMTPSecurity>(cmbSMTPSecurity->currentIndex());
    // What the dialog shows is what the user chose, also where the file held
    // something else.
    s.PortText.reset();
    s.SecurityText.reset();
    services_.SetMailServer(s);
    return true;
}

void TdlgSMTPSettings::btnOKClick()
{
    if (CommitSMTPSettings())
        accept();
}

void TdlgSMTPSettings::lnkTestSMTPClick()
{
    const QString dest = services_.DestEmail();
    if (dest.indexOf('@') < 1) {
        ShowMessageBox(this, "You have not specified a destination e-mail address in the main window.",
                       TMsgKind::Error, TMsgButtons::OK);
        return;
    }
    if (!CommitSMTPSettings())
        return;
    const std::string to = EngineText(dest);
    TSiteMonitor& monitor = services_.Monitor();
    const bool sent = monitor.Composer.ComposeAndSend(services_.MailServer(), to, "Test Message from Vendrel",
                                                      "This is a test message sent from Vendrel", {}, false,
                                                      nullptr, ChooseSender(monitor.SenderAddress(), to), false,
                                                      true, true);
    if (sent)
        ShowMessageBox(this, "Your test message was sent successfully.", TMsgKind::Information, TMsgButtons::OK);
    else
        ShowMessageBox(this, "An error was encountered sending your test message.  Please check your settings.",
                       TMsgKind::Error, TMsgButtons::OK);
}

void TdlgSMTPSettings::lnkSMTPShelpClick()
{
    OpenDocument(this, EngineText(QDir(services_.ProgramFolder()).filePath("SMTP_Settings.html")));
}

void TdlgSMTPSettings::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        if (heldPortText_)
            edtSMTPPort->SetText(*heldPortText_);
        CentreOnScreen(this);
    }
}

bool TdlgSMTPSettings::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyRelease && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        reject();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
