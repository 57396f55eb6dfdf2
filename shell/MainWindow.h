#pragma once

// The main window: the site list, the settings and the log on three tabs,
// and the buttons that start every user action. It owns the engine
// (TSiteMonitor) and is the engine's window (TWindowHost); its handlers keep
// the names the design gives them and hand the work to the engine.

#include "engine/ActivityLog.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "engine/WindowHost.h"
#include "shell/ImageList.h"
#include "shell/ShellServices.h"
#include "transport/NetAntiFreeze.h"

#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QListView;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QLineEdit;
class QTabWidget;
class QTimeEdit;
class TLinkLabel;
class TSiteListModel;
class TSiteRowDelegate;
class TSpinEdit;

class TfrmMain : public QWidget, public TWindowHost, public TShellServices {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 495;
    static constexpr int ClientHeight = 567;
    static constexpr int LogTabIndex = 2;

    // Creation: logs the start, loads the settings and the site list into the
    // controls. files names where they live (the defaults in the program).
    TfrmMain(const TClock& clock, const TSettingsFiles& files, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // --- controls, named as the design names them
    QLabel* Label1;
    QTabWidget* pgcMain;
    QWidget* tabSites;
    QWidget* tabSettings;
    QWidget* tabLog;
    QLabel* Label2;
    QListView* fbxSites;
    QPushButton* btnAddSite;
    QPushButton* btnMoveUp;
    QPushButton* btnMoveDown;
    QPushButton* btnEditSite;
    QPushButton* btnTestSite;
    QPushButton* btnViewSite;
    QPushButton* btnDelete;
    QCheckBox* chkDeliveredDates;
    TLinkLabel* lnkALL;
    TLinkLabel* lnkNONE;
    QLabel* Label6;
    TLinkLabel* lnkQuorvan;
    QLabel* Label4;
    QLineEdit* edtDestEmail;
    QLineEdit* edtSubject;
    QPushButton* btnSMTPSettings;
    QLabel* Label11;
    QRadioButton* rdbOncePerDay;
    QTimeEdit* dtCheckTime;
    QRadioButton* rdbFrequencyChecking;
    TSpinEdit* spnCheckFreq;
    QComboBox* cmbCheckFreq;
    QLabel* Label7;
    QComboBox* cmbSiteCompare;
    TSpinEdit* spnCustomThreshold;
    QCheckBox* chkAutoStart;
    QCheckBox* chkConfirmClose;
    QCheckBox* chkDisplayIcon;
    QCheckBox* chkFlashIcon;
    // Under the tray option, shown while the desktop has no notification area.
    QLabel* lblNoTray;
    QCheckBox* chkActiveNet;
    QCheckBox* chkMarkChanges;
    QPlainTextEdit* memLog;
    QPushButton* btnChangeNow;
    QPushButton* btnAbout;
    QPushButton* btnHelp;
    QPushButton* btnOK;
    QPushButton* btnCancel;
    QTimer Timer1;
    QTimer TimerAnim;

    TSiteMonitor& Engine() { return monitor_; }
    TEngineFlags& Flags() { return monitor_.Flags; }
    TActivityLog& Log() { return log_; }
    TSiteRowDelegate& RowDelegate() { return *rowDelegate_; }
    const TSettingsFiles& Files() const { return store_.Files(); }

    // --- handlers
    void btnAddSiteClick();
    void btnEditSiteClick();
    void btnTestSiteClick();
    void btnViewSiteClick();
    void btnDeleteClick();
    void btnMoveUpClick();
    void btnMoveDownClick();
    void lnkALLClick();
    void lnkNONEClick();
    void lnkQuorvanClick();
    void chkDeliveredDatesClick();
    void btnChangeNowClick();
    void btnSMTPSettingsClick();
    void btnAboutClick();
    void btnHelpClick();
    void btnOKClick();
    void btnCancelClick();
    void Label1DblClick();
    void Label2MouseUp();
    void chkDisplayIconClick();
    void rdbFrequencyCheckingClick();
    void cmbSiteCompareChange();
    void Timer1Timer();
    void TimerAnimTimer();
    // The desktop session is ending: no question, save and close.
    void QueryEndSession();
    // Asked to end from outside the window (SIGTERM, SIGINT): ends as Exit
    // does, without the question and without saving what nobody confirmed.
    void EndProgram();

    // How the program comes up for its first command-line argument: "/start"
    // (any case) keeps the window off screen, anything else shows it, and any
    // argument at all checks once soon after, whichever way the window came up.
    void ComeUp(const QString& firstArgument);
    // Whether the desktop offers a notification area now; replaceable so
    // tests decide what it says.
    std::function<bool()> TrayAvailable;

    // --- operations
    void LoadSettings();
    void SaveSettings();
    void UpdateDisplay();
    void DisplayWindow();
    bool CheckHasSelection();
    bool CheckDestEmail();
    bool SiteHasBeenSelected() const;
    // The row text the site editor gives for these values; the unchanged
    // entry when the editor is cancelled.
    // options, when given, are the site's watched part and text to ignore,
    // shown in the editor and replaced by its values on OK.
    void EditCurrentSite(const std::string& name, const std::string& address, std::string& entry, int threshold,
                         TSiteOptions* options = nullptr);
    int CurrentRow() const;
    void SetCurrentRow(int row);
    bool LoggingTabVisible() const;

    // --- the tray's side of the window
    TTrayImage TrayImageKind() const { return trayImage_; }
    QIcon TrayIconImage() const { return TImageList::TrayImage(trayImage_, monitor_.Flags.LowColourIcons); }
    QString TrayTip() const { return trayTip_; }
    // The "Display an icon in the system tray" choice as last loaded or saved.
    bool TrayIconWanted() const { return trayIconWanted_; }
    void TrayIconDblClick() { DisplayWindow(); }
    const TImageList& Images() const { return images_; }

    // --- TWindowHost
    void AddToLog(const std::string& message) override;
    TModalResult MessageBox(const std::string& text, TMsgKind kind, TMsgButtons buttons) override;
    TCursor Cursor() const override { return cursor_; }
    void SetCursor(TCursor cursor) override;
    void ProcessMessages() override;
    void AddLogSeparator() override;
    void SetCaption(const std::string& caption) override;
    void SetTrayTip(const std::string& tip) override;
    void SetTrayImage(TTrayImage image) override;
    void ShowTrayMessage(const std::string& title, const std::string& text) override;
    bool WindowVisible() const override { return isVisible(); }
    void RedrawSiteList() override;
    void StartTimer1(std::uint32_t intervalMs) override;
    void StopTimer1() override;
    void StartTimerAnim() override;
    void StopTimerAnim() override;
    TSettings CurrentSettings() const override;
    TSiteList& Sites() override { return sites_; }

    // --- TShellServices
    QIcon Image(int index) const override { return images_.Image(index); }
    QStringList SensitivityItems() const override;
    int DefaultThreshold() const override;
    QString DestEmail() const override;
    TMailServerSettings MailServer() const override { return mailServer_; }
    void SetMailServer(const TMailServerSettings& s) override { mailServer_ = s; }
    TSiteMonitor& Monitor() override { return monitor_; }
    QString ProgramFolder() const override;

signals:
    void TrayStateChanged();
    // A message for the tray icon to show, when it is shown.
    void TrayMessage(const QString& title, const QString& text);
    void TrayIconVisibilityChanged(bool visible);
    // The window has closed for good: the program ends.
    void ProgramEnd();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class TAntiFreeze : public TNetAntiFreezeBase {
    public:
        void Process() override;
    };

    void CreateControls();
    void CreateSitesPage();
    void CreateSettingsPage();
    void CreateLogPage();
    void SetTabOrder();
    void ApplySettings(const TSettings& settings);
    void UpdateSettingsRules();
    void HideToTray();
    void UpdateTrayNote();
    // Runs an engine operation from a handler: what escapes it is shown.
    template <typename TAction>
    void Guarded(TAction&& action);

    const TClock& clock_;
    TSettingsStore store_;
    TActivityLog log_;
    TSiteList sites_;
    TSiteMonitor monitor_;
    TImageList images_;
    TAntiFreeze antiFreeze_;
    TSiteListModel* siteModel_ = nullptr;
    TSiteRowDelegate* rowDelegate_ = nullptr;
    TMailServerSettings mailServer_;
    std::string senderAddress_;
    // The "UserAgent" setting, which no control edits either.
    std::string userAgent_;
    TCursor cursor_ = TCursor::Default;
    TTrayImage trayImage_ = TTrayImage::Normal;
    QString trayTip_;
    bool trayIconWanted_ = true;
    // After a start without a notification area: hides the minimised window
    // into one that comes up late (a panel that starts after the program).
    QTimer trayWatch_;
    int trayWatchTicks_ = 0;
};
