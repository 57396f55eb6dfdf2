#pragma once

// The mail-server dialog: host, port and login of the SMTP server, a link
// that sends a test message with these values, and a link to the help page.
// OK stores the values as the current mail-server values; they reach
// "Settings.dat" with the window's next save.

#include <QDialog>
#include <QString>

#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TLinkLabel;
class TShellServices;
class TSpinEdit;

// Example host names of the label and the host field's hint.
inline constexpr const char* ExampleSMTPHost = "smtp.example.com";
inline constexpr const char* OtherExampleSMTPHost = "mail.example.net";

class TdlgSMTPSettings : public QDialog {
    Q_OBJECT
public:
    explicit TdlgSMTPSettings(TShellServices& services, QWidget* parent = nullptr);

    // Checks the port and host and stores the six values; false, after its
    // message, when one is not acceptable.
    bool CommitSMTPSettings();

    QLabel* lblSMTPHost;
    QLineEdit* edtSMTPHost;
    QLabel* lblSMTPPort;
    TSpinEdit* edtSMTPPort;
    QLabel* lblSMTPSecurity;
    // "Auto", "STARTTLS", "SSL/TLS", "None": the "SMTPSecurity" setting.
    QComboBox* cmbSMTPSecurity;
    // Shown when the settings file held a security word that is none of the
    // four: the list then shows Auto until the user chooses.
    QLabel* lblSecurityNote;
    QCheckBox* chkSMTPAuthentication;
    QLabel* lblUserID;
    QLineEdit* edtSMTPID;
    QLabel* lblSMTPPassword;
    QLineEdit* edtSMTPPassword;
    // Where the password is kept: the desktop's keyring or Settings.dat.
    QLabel* lblPasswordStore;
    TLinkLabel* lnkTestSMTP;
    TLinkLabel* lnkSMTPShelp;
    QPushButton* btnOK;
    QPushButton* btnCancel;

public slots:
    void chkSMTPAuthenticationClick();
    void edtSMTPHostChange();
    void btnOKClick();
    void lnkTestSMTPClick();
    void lnkSMTPShelpClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FillFromCurrentValues();

    TShellServices& services_;
    bool shownOnce_ = false;
    std::optional<QString> heldPortText_;
};
