#pragma once

// What the dialogs need of the main window, so that they depend on this one
// small interface and not on the window itself.

#include "delivery/MailServerSettings.h"

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
};
