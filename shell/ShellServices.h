#pragma once

// What the dialogs need of the main window: its image list, its sensitivity
// list and current choice, the destination field, the process-wide mail-server
// values, the engine for the test message, and the program's own folder. The
// window implements it; the dialog tests implement it over a headless host.

#include "delivery/MailServerSettings.h"
#include "platform/Keyring.h"

#include <QIcon>
#include <QString>
#include <QStringList>

class TSiteMonitor; class TWindowHost;
class TShellServices {
public:
    virtual ~TShellServices() = default;
    virtual QIcon Image(int index) const = 0;          // the main window's image list
    virtual QStringList SensitivityItems() const = 0;  // cmbSiteCompare's eight items
    virtual int DefaultThreshold() const = 0;          // the main window's current choice as threshold
    virtual QString DestEmail() const = 0;             // edtDestEmail's text
    virtual TMailServerSettings MailServer() const = 0;          // process-wide mail-server values
    virtual void SetMailServer(const TMailServerSettings& s) = 0;
    virtual TSiteMonitor& Monitor() = 0;               // for the test message (ComposeAndSend)
    virtual QString ProgramFolder() const = 0;         // Readme.html, SMTP_Settings.html, Source.dat
    // Whether the next save can put the mail password in the desktop's keyring.
    virtual bool KeyringAvailable() const { return SystemKeyring().Available(); }
};
