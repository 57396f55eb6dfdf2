#include "shell/MainWindow.h"

#include "engine/ChangeMeasure.h"
#include "engine/Product.h"
#include "engine/Sensitivity.h"
#include "platform/ScopeExit.h"
#include "platform/Utilities.h"
#include "shell/HourglassCursor.h"
#include "shell/LinkLabel.h"
#include "shell/MessageBoxes.h"
#include "shell/OpenDocument.h"
#include "shell/QtText.h"
#include "shell/SiteListView.h"
#include "shell/SpinEdit.h"

#include "shell/DlgAboutBox.h"
#include "shell/DlgEditSite.h"
#include "shell/DlgSMTPSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimeEdit>
#include <QUrl>

#include <cstdio>
#include <exception>

namespace {

constexpr const char* NoTrayNote = "This desktop shows no tray icon: OK and Cancel minimize instead.";
// How long a start without a notification area waits for one to appear.
constexpr int TrayWatchIntervalMs = 2000;
constexpr int TrayWatchTicks = 60;

// Tabs of one fixed width, as the window was laid out for.
class TFixedTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int index) const override
    {
        QSize size = QTabBar::tabSizeHint(index);
        size.setWidth(100);
        return size;
    }
};

class TTabWidget : public QTabWidget {
public:
    explicit TTabWidget(QWidget* parent) : QTabWidget(parent) { setTabBar(new TFixedTabBar(this)); }
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QString& hint,
                        const QIcon& image, const QRect& geometry)
{
    auto* button = new QPushButton(image, caption, parent);
    button->setObjectName(name);
    button->setToolTip(hint);
    button->setGeometry(geometry);
    button->setIconSize(QSize(16, 16));
    // Enter presses the button that has the focus; elsewhere it is OK's.
    button->setAutoDefault(true);
    return button;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& caption, const QString& hint,
                     const QRect& geometry)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setToolTip(hint);
    box->setGeometry(geometry);
    return box;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& geometry,
                  bool bold = false)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    if (bold) {
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    return label;
}

} // namespace

void TfrmMain::TAntiFreeze::Process()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

TfrmMain::TfrmMain(const TClock& clock, const TSettingsFiles& files, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                          | Qt::MSWindowsFixedSizeDialogHint),
      clock_(clock), store_(files), log_(clock), monitor_(*this, clock, files.DataFolder)
{
    setObjectName("frmMain");
    setWindowTitle(DefaultCaption);
    setWindowIcon(TImageList::ProgramIcon());
    setFixedSize(ClientWidth, ClientHeight);
    setAttribute(Qt::WA_AlwaysShowToolTips);
    Timer1.setObjectName("Timer1");
    TimerAnim.setObjectName("TimerAnim");
    TimerAnim.setInterval(static_cast<int>(TSiteMonitor::FlashIntervalMs));
    connect(&Timer1, &QTimer::timeout, this, &TfrmMain::Timer1Timer);
    connect(&TimerAnim, &QTimer::timeout, this, &TfrmMain::TimerAnimTimer);
    trayTip_ = DefaultCaption;
    TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    trayWatch_.setInterval(TrayWatchIntervalMs);
    connect(&trayWatch_, &QTimer::timeout, this, [this] {
        if (TrayAvailable() && trayIconWanted_ && isMinimized())
            hide();
        if (!isMinimized() || !isVisible() || ++trayWatchTicks_ >= TrayWatchTicks)
            trayWatch_.stop();
    });

    CreateControls();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    // Creation, in the order the program has always come up in.
    monitor_.Flags.ShuttingDown = false;
    cmbCheckFreq->setCurrentIndex(0);
    monitor_.Flags.LowColourIcons = GetWindowsVersionCode() <= 4;
    SetTrayImage(TTrayImage::Normal);
    AddToLog("Vendrel Started");
    AddLogSeparator();
    pgcMain->setCurrentIndex(0);
    LoadSettings();
}

TfrmMain::~TfrmMain()
{
    if (cursor_ == TCursor::HourGlass)
        QApplication::restoreOverrideCursor();
}

void TfrmMain::CreateControls()
{
    QFont font = QApplication::font();
    font.setPointSizeF(9);
    setFont(font);

    Label1 = MakeLabel(this, "Label1",
                       "Keep up-to-date with your favorite web sites.  Vendrel automatically monitors your web "
                       "sites and emails them to you whenever they change!",
                       QRect(8, 6, 479, 36));
    Label1->setWordWrap(true);
    Label1->installEventFilter(this);

    pgcMain = new TTabWidget(this);
    pgcMain->setObjectName("pgcMain");
    pgcMain->setGeometry(8, 46, 479, 478);
    tabSites = new QWidget;
    tabSites->setObjectName("tabSites");
    tabSettings = new QWidget;
    tabSettings->setObjectName("tabSettings");
    tabLog = new QWidget;
    tabLog->setObjectName("tabLog");
    pgcMain->addTab(tabSites, "&Web Sites");
    pgcMain->addTab(tabSettings, "  &Settings  ");
    pgcMain->addTab(tabLog, "&Logging");
    CreateSitesPage();
    CreateSettingsPage();
    CreateLogPage();

    const int y = 532, h = 28, w = 91, gap = 6;
    int x = 8;
    btnChangeNow = MakeButton(this, "btnChangeNow", "Check &Now!", "Check all your sites for any that have changed",
                              Image(TImageList::CheckNow), QRect(x, y, w, h));
    x += w + gap;
    btnAbout = MakeButton(this, "btnAbout", "A&bout", "About Vendrel...", Image(TImageList::About), QRect(x, y, w, h));
    x += w + gap;
    btnHelp = MakeButton(this, "btnHelp", "&Help", "Display the Vendrel Read Me document", Image(TImageList::Help),
                         QRect(x, y, w, h));
    x += w + gap;
    btnOK = MakeButton(this, "btnOK", "&OK",
                       "Save changes and minimize Vendrel to the notification area (your site monitoring will "
                       "commence automatically)",
                       Image(TImageList::OK), QRect(x, y, w, h));
    x += w + gap;
    btnCancel = MakeButton(this, "btnCancel", "&Cancel",
                           "Cancel changes and minimize Vendrel to the notification area (monitoring will commence "
                           "as usual)",
                           Image(TImageList::Cancel), QRect(x, y, w, h));

    // Enter and Escape reach them through the window's own key handling:
    // a plain window has no default button of its own.
    btnOK->setDefault(true);

    connect(btnChangeNow, &QPushButton::clicked, this, &TfrmMain::btnChangeNowClick);
    connect(btnAbout, &QPushButton::clicked, this, &TfrmMain::btnAboutClick);
    connect(btnHelp, &QPushButton::clicked, this, &TfrmMain::btnHelpClick);
    connect(btnOK, &QPushButton::clicked, this, &TfrmMain::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmMain::btnCancelClick);
    SetTabOrder();
}

void TfrmMain::CreateSitesPage()
{
    QWidget* page = tabSites;
    Label2 = MakeLabel(page, "Label2", "Chec&k the sites that you want delivered whenever they change:",
                       QRect(8, 8, 456, 18));
    Label2->installEventFilter(this);

    fbxSites = new QListView(page);
    fbxSites->setObjectName("fbxSites");
    Label2->setBuddy(fbxSites);
    fbxSites->setGeometry(8, 28, 340, 330);
    fbxSites->setUniformItemSizes(true);
    fbxSites->setSelectionMode(QAbstractItemView::SingleSelection);
    fbxSites->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fbxSites->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    siteModel_ = new TSiteListModel(sites_, fbxSites);
    rowDelegate_ = new TSiteRowDelegate(fbxSites);
    rowDelegate_->ShowDates = [this] { return chkDeliveredDates->isChecked(); };
    rowDelegate_->PagePath = [this](const std::string& name) { return monitor_.StoredPagePath(name); };
    rowDelegate_->HasOptions = [this](const std::string& name) { return sites_.OptionsOf(name) != nullptr; };
    fbxSites->setModel(siteModel_);
    fbxSites->setItemDelegate(rowDelegate_);
    fbxSites->installEventFilter(this);
    connect(fbxSites, &QListView::doubleClicked, this, [this] { btnEditSiteClick(); });

    const int x = 358, w = 106, h = 26;
    btnAddSite = MakeButton(page, "btnAddSite", "&Add Site...", "Add a new site to your monitor list",
                            Image(TImageList::AddSite), QRect(x, 28, w, h));
    btnMoveUp = MakeButton(page, "btnMoveUp", "Move &Up", "Promote the selected site", Image(TImageList::MoveUp),
                           QRect(x, 236, w, h));
    btnMoveDown = MakeButton(page, "btnMoveDown", "&Move Down", "Demote the selected site",
                             Image(TImageList::MoveDown), QRect(x, 268, w, h));
    btnMoveUp->hide();
    btnMoveDown->hide();
    btnEditSite = MakeButton(page, "btnEditSite", "&Edit Site...", "Edit the selected site",
                             Image(TImageList::EditSite), QRect(x, 60, w, h));
    btnTestSite = MakeButton(page, "btnTestSite", "Sen&d Site",
                             "Deliver the selected web site to your e-mail software", Image(TImageList::SendSite),
                             QRect(x, 92, w, h));
    btnViewSite = MakeButton(page, "btnViewSite", "&View Site", "Open the selected site in your web browser",
                             Image(TImageList::View), QRect(x, 124, w, h));
    btnDelete = MakeButton(page, "btnDelete", "Dele&te Site", "Delete the selected site", Image(TImageList::Delete),
                           QRect(x, 156, w, h));

    chkDeliveredDates = MakeCheck(page, "chkDeliveredDates", "Show del&ivered dates",
                                  "Display date that the each site was last delivered", QRect(8, 364, 180, 20));
    lnkALL = new TLinkLabel("Select All", page);
    lnkALL->setObjectName("lnkALL");
    lnkALL->setGeometry(200, 366, 70, 16);
    lnkNONE = new TLinkLabel("Deselect All", page);
    lnkNONE->setObjectName("lnkNONE");
    lnkNONE->setGeometry(276, 366, 80, 16);

    Label6 = MakeLabel(page, "Label6", "Free software from:", QRect(8, 414, 140, 18), true);
    const QString maker = QUrl(MakerWebAddress).host();
    lnkQuorvan = new TLinkLabel(maker, page);
    lnkQuorvan->setObjectName("lnkQuorvan");
    QFont bold = lnkQuorvan->font();
    bold.setBold(true);
    lnkQuorvan->setFont(bold);
    lnkQuorvan->setToolTip(MakerWebAddress);
    lnkQuorvan->setGeometry(150, 414, 200, 18);

    connect(btnAddSite, &QPushButton::clicked, this, &TfrmMain::btnAddSiteClick);
    connect(btnMoveUp, &QPushButton::clicked, this, &TfrmMain::btnMoveUpClick);
    connect(btnMoveDown, &QPushButton::clicked, this, &TfrmMain::btnMoveDownClick);
    connect(btnEditSite, &QPushButton::clicked, this, &TfrmMain::btnEditSiteClick);
    connect(btnTestSite, &QPushButton::clicked, this, &TfrmMain::btnTestSiteClick);
    connect(btnViewSite, &QPushButton::clicked, this, &TfrmMain::btnViewSiteClick);
    connect(btnDelete, &QPushButton::clicked, this, &TfrmMain::btnDeleteClick);
    connect(chkDeliveredDates, &QCheckBox::clicked, this, &TfrmMain::chkDeliveredDatesClick);
    connect(lnkALL, &TLinkLabel::clicked, this, &TfrmMain::lnkALLClick);
    connect(lnkNONE, &TLinkLabel::clicked, this, &TfrmMain::lnkNONEClick);
    connect(lnkQuorvan, &TLinkLabel::clicked, this, &TfrmMain::lnkQuorvanClick);
}

void TfrmMain::CreateSettingsPage()
{
    QWidget* page = tabSettings;
    MakeLabel(page, "lblMailSettings", "Mail Settings", QRect(8, 6, 300, 18), true);
    Label4 = MakeLabel(page, "Label4", "Send Web Sites to the following address(es):", QRect(16, 26, 440, 18));
    QLabel* lblEmail = MakeLabel(page, "lblEmail", "&Email:", QRect(16, 50, 60, 20));
    edtDestEmail = new QLineEdit(page);
    lblEmail->setBuddy(edtDestEmail);
    edtDestEmail->setObjectName("edtDestEmail");
    edtDestEmail->setGeometry(84, 48, 376, 24);
    edtDestEmail->setToolTip("Specify the email address to send the web sites to.  To specify multiple recipients "
                             "separate them with a comma, e.g. jane@example.com,john@example.org");
    QLabel* lblSubject = MakeLabel(page, "lblSubject", "S&ubject:", QRect(16, 80, 60, 20));
    edtSubject = new QLineEdit(page);
    lblSubject->setBuddy(edtSubject);
    edtSubject->setObjectName("edtSubject");
    edtSubject->setGeometry(84, 78, 376, 24);
    edtSubject->setToolTip("Specify the text that is added to the subject of the message (The site name will also "
                           "be appended)");
    btnSMTPSettings = MakeButton(page, "btnSMTPSettings", "&Mail Server Settings...",
                                 "Click to specify the settings of your SMTP mail server", Image(TImageList::Settings),
                                 QRect(84, 108, 190, 26));

    MakeLabel(page, "lblDeliverySettings", "Delivery Settings", QRect(8, 144, 300, 18), true);
    Label11 = MakeLabel(page, "Label11", "How often should Vendrel check your sites?", QRect(16, 164, 440, 18));
    rdbOncePerDay = new QRadioButton("Once per da&y, at the following time:", page);
    rdbOncePerDay->setObjectName("rdbOncePerDay");
    rdbOncePerDay->setToolTip("Vendrel will only check for site changes once a day at the specified time");
    rdbOncePerDay->setGeometry(16, 186, 262, 22);
    dtCheckTime = new QTimeEdit(QTime(7, 0), page);
    dtCheckTime->setObjectName("dtCheckTime");
    dtCheckTime->setDisplayFormat("HH:mm:ss");
    dtCheckTime->setToolTip("Specify the time that Vendrel should check for site changes");
    dtCheckTime->setGeometry(282, 185, 96, 24);
    dtCheckTime->setEnabled(false);
    rdbFrequencyChecking = new QRadioButton("Check eve&ry ", page);
    rdbFrequencyChecking->setObjectName("rdbFrequencyChecking");
    rdbFrequencyChecking->setToolTip("Vendrel will check for site changes at the frequency you have specified");
    rdbFrequencyChecking->setGeometry(16, 214, 112, 22);
    rdbFrequencyChecking->setChecked(true);
    spnCheckFreq = new TSpinEdit(page);
    spnCheckFreq->setObjectName("spnCheckFreq");
    spnCheckFreq->SetLimits(1, 2400);
    spnCheckFreq->setValue(1);
    spnCheckFreq->setToolTip("Specify the number of hours between checks for site changes");
    spnCheckFreq->setGeometry(130, 213, 70, 24);
    cmbCheckFreq = new QComboBox(page);
    cmbCheckFreq->setObjectName("cmbCheckFreq");
    cmbCheckFreq->addItems({"minutes", "hours", "days"});
    cmbCheckFreq->setGeometry(206, 213, 100, 24);

    Label7 = MakeLabel(page, "Label7", "When should each site be sen&t:", QRect(16, 244, 440, 18));
    cmbSiteCompare = new QComboBox(page);
    cmbSiteCompare->setObjectName("cmbSiteCompare");
    cmbSiteCompare->addItems(SensitivityItems());
    cmbSiteCompare->setToolTip("The sensitivity of the algorithm used when checking for site changes.  Too "
                               "sensitive and you will get messages even when minor (often unnoticeable) changes "
                               "are made.  Too high and you may not get messages even for major changes in the "
                               "site");
    cmbSiteCompare->setGeometry(16, 264, 362, 24);
    Label7->setBuddy(cmbSiteCompare);
    spnCustomThreshold = new TSpinEdit(page);
    spnCustomThreshold->setObjectName("spnCustomThreshold");
    spnCustomThreshold->SetLimits(CustomThresholdMin, CustomThresholdMax);
    spnCustomThreshold->setValue(50);
    spnCustomThreshold->setToolTip("Specify your own threshold to use for determining what level of site changes "
                                   "will generate a new message (1 to 20000).  Review the log to determine an "
                                   "appropriate value");
    spnCustomThreshold->setGeometry(384, 264, 76, 24);
    spnCustomThreshold->hide();
    chkMarkChanges = MakeCheck(page, "chkMarkChanges", "Show what changed at the to&p of each mail",
                               "Puts the changed text first in each mail and marks it in the page",
                               QRect(16, 292, 444, 22));

    MakeLabel(page, "lblOtherSettings", "Other Settings", QRect(8, 318, 300, 18), true);
    chkAutoStart = MakeCheck(page, "chkAutoStart", "&Automatically start Vendrel when I log in",
                             "Set this option to start Vendrel when you log in.  If you don't check this option "
                             "you will need to start Vendrel yourself to start delivery of your web sites",
                             QRect(16, 337, 444, 22));
    chkConfirmClose = MakeCheck(page, "chkConfirmClose", "Warn before closin&g Vendrel",
                                "If enabled you will be asked for confirmation when closing Vendrel",
                                QRect(16, 359, 444, 22));
    chkDisplayIcon = MakeCheck(page, "chkDisplayIcon", "&Display an icon in the system tray for controlling Vendrel",
                               "If this option is set then an icon for Vendrel is displayed in your notification "
                               "area and "
                               "allows you to quickly configure Vendrel and access common functions.  It will also "
                               "flash when a new web site is delivered",
                               QRect(16, 381, 444, 22));
    chkFlashIcon = MakeCheck(page, "chkFlashIcon", "&Flash icon when new items are posted",
                             "Specifies that the notification area icon for Vendrel should flash for several seconds "
                             "whenever it delivers a web site to your email software",
                             QRect(36, 403, 424, 22));
    chkFlashIcon->setEnabled(false);
    lblNoTray = MakeLabel(page, "lblNoTray", NoTrayNote, QRect(36, 405, 424, 18));
    lblNoTray->setForegroundRole(QPalette::PlaceholderText);
    lblNoTray->hide();
    chkActiveNet = MakeCheck(page, "chkActiveNet", "Always check for an active &Internet connection",
                             "If this option is checked Vendrel will always check that there is a valid internet "
                             "connection before it tries to check your sites.  If you have a permanent connection "
                             "you can disable this option",
                             QRect(16, 425, 444, 22));

    connect(btnSMTPSettings, &QPushButton::clicked, this, &TfrmMain::btnSMTPSettingsClick);
    connect(chkDisplayIcon, &QCheckBox::toggled, this, &TfrmMain::chkDisplayIconClick);
    connect(rdbOncePerDay, &QRadioButton::toggled, this, &TfrmMain::rdbFrequencyCheckingClick);
    connect(rdbFrequencyChecking, &QRadioButton::toggled, this, &TfrmMain::rdbFrequencyCheckingClick);
    connect(cmbSiteCompare, &QComboBox::currentIndexChanged, this, &TfrmMain::cmbSiteCompareChange);
}

void TfrmMain::CreateLogPage()
{
    memLog = new QPlainTextEdit(tabLog);
    memLog->setObjectName("memLog");
    memLog->setReadOnly(true);
    memLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Reached by a click, never by Tab.
    memLog->setFocusPolicy(Qt::ClickFocus);
    memLog->setGeometry(6, 6, 461, 436);

    log_.OnLineAdded = [this](const std::string& line) { memLog->appendPlainText(QtText(line)); };
    log_.OnFirstLineRemoved = [this] {
        QTextCursor cursor(memLog->document()->firstBlock());
        cursor.select(QTextCursor::BlockUnderCursor);
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    };
}

void TfrmMain::SetTabOrder()
{
    const QList<QWidget*> order = {
        pgcMain,       fbxSites,          btnAddSite,     btnMoveUp,     btnMoveDown,     btnEditSite,
        btnTestSite,   btnViewSite,       btnDelete,      chkDeliveredDates, lnkALL,       lnkNONE,
        lnkQuorvan,    edtDestEmail,      edtSubject,
        btnSMTPSettings, rdbOncePerDay,   dtCheckTime,    rdbFrequencyChecking, spnCheckFreq, cmbCheckFreq,
        cmbSiteCompare, spnCustomThreshold, chkMarkChanges, chkAutoStart, chkConfirmClose, chkDisplayIcon, chkFlashIcon,
        chkActiveNet,  btnChangeNow,      btnAbout,       btnHelp,       btnOK,           btnCancel,
    };
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
}

template <typename TAction>
void TfrmMain::Guarded(TAction&& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        MessageBox(e.what(), TMsgKind::Error, TMsgButtons::OK);
    }
}

// ---------------------------------------------------------------- settings

QStringList TfrmMain::SensitivityItems() const
{
    QStringList items;
    for (const char* item : ::SensitivityItems)
        items << QString::fromLatin1(item);
    return items;
}

TSettings TfrmMain::CurrentSettings() const
{
    TSettings s;
    s.Server = mailServer_;
    s.SenderAddress = senderAddress_;
    s.UserAgent = userAgent_;
    s.DestEmail = EngineText(edtDestEmail->text());
    s.Subject = EngineText(edtSubject->text());
    s.Sensitivity.ItemIndex = cmbSiteCompare->currentIndex();
    s.Sensitivity.CustomThreshold = ClampCustomThreshold(spnCustomThreshold->Value());
    s.OncePerDay = rdbOncePerDay->isChecked();
    const QTime t = dtCheckTime->time();
    s.CheckTime = TTimeOfDay{t.hour(), t.minute(), t.second()};
    s.CheckFrequency = qBound(1, spnCheckFreq->Value(), 2400);
    s.CheckFrequencyScale = cmbCheckFreq->currentIndex();
    s.FlashIcon = chkFlashIcon->isChecked();
    s.ShowDeliveredDates = chkDeliveredDates->isChecked();
    s.TrayIcon = chkDisplayIcon->isChecked();
    s.LoggingTabVisible = LoggingTabVisible();
    s.ActiveNetConnection = chkActiveNet->isChecked();
    s.ConfirmClose = chkConfirmClose->isChecked();
    s.MarkChanges = chkMarkChanges->isChecked();
    s.AutoStart = chkAutoStart->isChecked();
    return s;
}

void TfrmMain::ApplySettings(const TSettings& s)
{
    mailServer_ = s.Server;
    senderAddress_ = s.SenderAddress;
    userAgent_ = s.UserAgent;
    edtDestEmail->setText(QtText(s.DestEmail));
    edtSubject->setText(QtText(s.Subject));
    (s.OncePerDay ? rdbOncePerDay : rdbFrequencyChecking)->setChecked(true);
    dtCheckTime->setTime(QTime(s.CheckTime.Hour, s.CheckTime.Minute, s.CheckTime.Second));
    pgcMain->setTabVisible(LogTabIndex, s.LoggingTabVisible);
    cmbCheckFreq->setCurrentIndex(s.CheckFrequencyScale >= 0 && s.CheckFrequencyScale <= 2 ? s.CheckFrequencyScale
                                                                                            : -1);
    spnCheckFreq->setValue(s.CheckFrequency);
    cmbSiteCompare->setCurrentIndex(s.Sensitivity.ItemIndex);
    spnCustomThreshold->setValue(s.Sensitivity.CustomThreshold);
    chkFlashIcon->setChecked(s.FlashIcon);
    chkDeliveredDates->setChecked(s.ShowDeliveredDates);
    chkDisplayIcon->setChecked(s.TrayIcon);
    chkActiveNet->setChecked(s.ActiveNetConnection);
    chkConfirmClose->setChecked(s.ConfirmClose);
    chkMarkChanges->setChecked(s.MarkChanges);
    chkAutoStart->setChecked(s.AutoStart);
    UpdateSettingsRules();
    RedrawSiteList();
}

void TfrmMain::UpdateSettingsRules()
{
    chkFlashIcon->setEnabled(chkDisplayIcon->isChecked());
    const bool interval = rdbFrequencyChecking->isChecked();
    spnCheckFreq->setEnabled(interval);
    cmbCheckFreq->setEnabled(interval);
    dtCheckTime->setEnabled(rdbOncePerDay->isChecked());
    spnCustomThreshold->setVisible(cmbSiteCompare->currentIndex() == SensitivityCustomIndex);
}

void TfrmMain::chkDisplayIconClick() { UpdateSettingsRules(); }
void TfrmMain::rdbFrequencyCheckingClick() { UpdateSettingsRules(); }
void TfrmMain::cmbSiteCompareChange() { UpdateSettingsRules(); }

bool TfrmMain::LoggingTabVisible() const
{
    return pgcMain->isTabVisible(LogTabIndex);
}

void TfrmMain::LoadSettings()
{
    // What the file does not get to keeps the value it had.
    TSettings s = CurrentSettings();
    bool loaded = true;
    const int row = CurrentRow();
    siteModel_->BeginBatch();
    try {
        store_.Load(s, sites_);
    } catch (const std::exception&) {
        loaded = false;
    }
    siteModel_->EndBatch();
    SetCurrentRow(row < sites_.Count() ? row : -1);
    ApplySettings(s);
    if (!loaded) {
        MessageBox("An error was encountered loading your settings", TMsgKind::Error, TMsgButtons::OK);
        return;
    }
    trayIconWanted_ = s.TrayIcon;
    emit TrayIconVisibilityChanged(trayIconWanted_);
    if (s.Server.PasswordInKeyring && !s.Server.KeyringProblem.empty())
        AddToLog("The mail password could not be read from the desktop's keyring: " + s.Server.KeyringProblem);
}

void TfrmMain::SaveSettings()
{
    trayIconWanted_ = chkDisplayIcon->isChecked();
    emit TrayIconVisibilityChanged(trayIconWanted_);
    try {
        store_.Save(CurrentSettings(), sites_);
    } catch (const ESettingsSaveRefused& e) {
        // Nothing was written: the files still hold what could not be loaded.
        MessageBox(e.what(), TMsgKind::Error, TMsgButtons::OK);
    } catch (const std::exception& e) {
        MessageBox(e.what(), TMsgKind::Plain, TMsgButtons::OK);
        MessageBox("An error was encountered saving your settings", TMsgKind::Error, TMsgButtons::OK);
    }
}

QString TfrmMain::DestEmail() const
{
    return edtDestEmail->text();
}

int TfrmMain::DefaultThreshold() const
{
    return monitor_.DefaultThreshold();
}

QString TfrmMain::ProgramFolder() const
{
    // Installed, the documents live in the shared data folder beside bin/;
    // in a build tree, beside the program.
    const QDir program(QtText(Files().ProgramFolder));
    const QString installed = program.absoluteFilePath("../share/vendrel");
    if (QFile::exists(installed + "/Readme.html"))
        return QDir::cleanPath(installed) + "/";
    return QDir::cleanPath(program.absolutePath()) + "/";
}

// ---------------------------------------------------------------- site list

int TfrmMain::CurrentRow() const
{
    const QModelIndex index = fbxSites->currentIndex();
    return index.isValid() ? index.row() : -1;
}

void TfrmMain::SetCurrentRow(int row)
{
    if (row < 0 || row >= sites_.Count()) {
        fbxSites->setCurrentIndex(QModelIndex());
        return;
    }
    const QModelIndex index = siteModel_->index(row);
    fbxSites->setCurrentIndex(index);
    fbxSites->scrollTo(index);
}

bool TfrmMain::CheckHasSelection()
{
    if (CurrentRow() >= 0)
        return true;
    MessageBox("You have not selected a site.", TMsgKind::Information, TMsgButtons::OK);
    return false;
}

bool TfrmMain::SiteHasBeenSelected() const
{
    for (int i = 0; i < sites_.Count(); ++i)
        if (SiteSelected(sites_, i))
            return true;
    return false;
}

void TfrmMain::EditCurrentSite(const std::string& name, const std::string& address, std::string& entry,
                               int threshold, TSiteOptions* options)
{
    entry = MakeSiteEntry(name, address, threshold);
    TdlgEditSite dlg(*this, this);
    // Every name but the one being edited (once: a second site of that name
    // is still another site).
    bool ownSkipped = name.empty();
    for (int i = 0; i < sites_.Count(); ++i) {
        const std::string other = SiteNameOf(sites_, i);
        if (!ownSkipped && other == name)
            ownSkipped = true;
        else
            dlg.OtherSiteNames << QtText(other);
    }
    dlg.edtSiteName->setText(QtText(name));
    dlg.edtSiteURL->setText(QtText(address));
    dlg.SetSensitivity(threshold);
    if (options)
        dlg.SetSiteOptions(*options);
    if (dlg.exec() == QDialog::Accepted) {
        entry = MakeSiteEntry(EngineText(dlg.edtSiteName->text()), EngineText(dlg.edtSiteURL->text()),
                              dlg.GetSensitivity());
        if (options)
            *options = dlg.GetSiteOptions();
    }
}

void TfrmMain::btnAddSiteClick()
{
    std::string entry;
    TSiteOptions options;
    EditCurrentSite("", "http://", entry, ThresholdDefault, &options);
    if (entry.empty())
        return;
    const int row = sites_.Add(entry, true);
    if (!options.Empty())
        sites_.SetOptions(SiteNameOf(entry), options);
    SetCurrentRow(row);
}

void TfrmMain::btnEditSiteClick()
{
    if (!CheckHasSelection())
        return;
    const int row = CurrentRow();
    const std::string old = sites_.Entry(row);
    const std::string oldName = SiteNameOf(old);
    std::string entry;
    const TSiteOptions* current = sites_.OptionsOf(oldName);
    const TSiteOptions before = current ? *current : TSiteOptions{};
    TSiteOptions options = before;
    EditCurrentSite(oldName, SiteAddressOf(old), entry, SiteThresholdOf(old), &options);
    // The list may have changed while the editor was open.
    if (row >= sites_.Count() || sites_.Entry(row) != old)
        return;
    if (!entry.empty() && entry != old)
        SetCurrentRow(sites_.SetEntry(row, entry));
    // The options follow the site to its new name; the editor's values then
    // replace them.
    const std::string newName = entry.empty() ? oldName : SiteNameOf(entry);
    if (newName != oldName)
        sites_.RenameOptions(oldName, newName);
    if (newName != oldName || !(options == before))
        sites_.SetOptions(newName, options);
    UpdateDisplay();
}

void TfrmMain::btnTestSiteClick()
{
    if (!CheckDestEmail())
        return;
    if (!CheckHasSelection())
        return;
    Guarded([this] {
        THourglassCursor hourglass(*this);
        monitor_.SendSiteOfIndex(CurrentRow(), true);
    });
}

void TfrmMain::btnViewSiteClick()
{
    if (!CheckHasSelection())
        return;
    OpenDocument(this, SiteAddressOf(sites_, CurrentRow()));
}

void TfrmMain::btnDeleteClick()
{
    if (!CheckHasSelection())
        return;
    const int row = CurrentRow();
    const std::string entry = sites_.Entry(row);
    const std::string name = SiteNameOf(entry);
    if (MessageBox("Are you sure you want to delete the site, " + name + "?", TMsgKind::Confirmation,
                   TMsgButtons::YesNo)
        == TModalResult::No)
        return;
    // The answer may have come after the list changed underneath.
    if (row >= sites_.Count() || sites_.Entry(row) != entry)
        return;
    // A name the pass refuses never had a stored page; one like "../x" would
    // name a file outside the page folder.
    if (SiteNameError(name).empty())
        monitor_.RemoveStoredPage(name);
    sites_.Delete(row);
    sites_.DropOptions(name);
}

void TfrmMain::btnMoveUpClick()
{
    if (!CheckHasSelection())
        return;
    const int row = CurrentRow();
    if (row <= 0)
        return;
    sites_.Exchange(row, row - 1);
    SetCurrentRow(row - 1);
}

void TfrmMain::btnMoveDownClick()
{
    if (!CheckHasSelection())
        return;
    const int row = CurrentRow();
    if (row >= sites_.Count() - 1)
        return;
    sites_.Exchange(row, row + 1);
    SetCurrentRow(row + 1);
}

void TfrmMain::lnkALLClick() { SetAllTicks(sites_, true); }
void TfrmMain::lnkNONEClick() { SetAllTicks(sites_, false); }
void TfrmMain::chkDeliveredDatesClick() { RedrawSiteList(); }
void TfrmMain::lnkQuorvanClick() { OpenDocument(this, EngineText(lnkQuorvan->toolTip())); }

void TfrmMain::UpdateDisplay()
{
    if (isVisible())
        RedrawSiteList();
}

// ---------------------------------------------------------------- actions

void TfrmMain::btnChangeNowClick()
{
    Guarded([this] { monitor_.CheckNow(); });
    UpdateDisplay();
}

void TfrmMain::btnSMTPSettingsClick()
{
    TdlgSMTPSettings dlg(*this, this);
    dlg.exec();
}

void TfrmMain::btnAboutClick()
{
    TdlgAboutBox dlg(*this, this);
    dlg.exec();
}

void TfrmMain::btnHelpClick()
{
    OpenDocument(this, EngineText(ProgramFolder() + "Readme.html"));
}

void TfrmMain::btnOKClick()
{
    if (!SiteHasBeenSelected()
        && MessageBox("You have not selected any sites.  Are you sure you want to continue", TMsgKind::Information,
                      TMsgButtons::YesNo)
               == TModalResult::No)
        return;
    if (!CheckDestEmail())
        return;
    if (mailServer_.Host.empty()) {
        if (MessageBox("You have not specified your SMTP server settings.  Do you want to do this now?",
                       TMsgKind::Error, TMsgButtons::YesNo)
            == TModalResult::Yes)
            btnSMTPSettingsClick();
        return;
    }
    HideToTray();
    SaveSettings();
    monitor_.ArmAfterSettings();
}

void TfrmMain::btnCancelClick()
{
    LoadSettings();
    HideToTray();
    monitor_.ArmAfterSettings();
}

bool TfrmMain::CheckDestEmail()
{
    return monitor_.CheckDestEmail();
}

void TfrmMain::HideToTray()
{
    // Without a notification area a hidden window could only come back by
    // starting the program again; minimised, its taskbar button stays.
    if (TrayAvailable())
        hide();
    else
        showMinimized();
}

void TfrmMain::UpdateTrayNote()
{
    const bool noTray = !TrayAvailable();
    // Without a tray there is no icon to flash: the note takes that row, as
    // the page has no room for another.
    lblNoTray->setVisible(noTray);
    chkFlashIcon->setVisible(!noTray);
}

void TfrmMain::ComeUp(const QString& firstArgument)
{
    if (firstArgument.toUpper() != "/START") {
        show();
    } else if (!TrayAvailable()) {
        showMinimized();
        trayWatchTicks_ = 0;
        trayWatch_.start();
    }
    // Armed after the showing, whose handler stops the check timer.
    if (!firstArgument.isEmpty())
        monitor_.ArmFirstCheck();
}

void TfrmMain::EndProgram()
{
    monitor_.Flags.AbortRequested = true;
    monitor_.Flags.ShuttingDown = true;
    trayWatch_.stop();
    Timer1.stop();
    TimerAnim.stop();
    hide();
    emit ProgramEnd();
}

void TfrmMain::Label1DblClick()
{
    SaveSettings();
}

void TfrmMain::Label2MouseUp()
{
    pgcMain->setTabVisible(LogTabIndex, !LoggingTabVisible());
}

void TfrmMain::DisplayWindow()
{
    monitor_.HideFlashingIcon();
    monitor_.Flags.AbortRequested = true;
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void TfrmMain::Timer1Timer()
{
    Guarded([this] { monitor_.Timer1Timer(); });
}

void TfrmMain::TimerAnimTimer()
{
    monitor_.TimerAnimTimer();
}

void TfrmMain::QueryEndSession()
{
    monitor_.Flags.ShuttingDown = true;
    close();
}

// ---------------------------------------------------------------- life cycle

void TfrmMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // While the window is on screen the scheduler rests; OK and Cancel arm it.
    if (!event->spontaneous()) {
        monitor_.DisableTimer();
        UpdateTrayNote();
    }
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    // Even a refused close stops a running check at its next site.
    monitor_.Flags.AbortRequested = true;
    if (!monitor_.Flags.ShuttingDown && chkConfirmClose->isChecked()
        && MessageBox("If you close Vendrel then delivery of your web sites will be disabled.\r\n\r\nAre you sure "
                      "you want to close?",
                      TMsgKind::Confirmation, TMsgButtons::YesNo)
               == TModalResult::No) {
        event->ignore();
        btnCancelClick();
        return;
    }
    SaveSettings();
    Timer1.stop();
    TimerAnim.stop();
    event->accept();
    emit ProgramEnd();
}

void TfrmMain::keyPressEvent(QKeyEvent* event)
{
    // What the focused control left alone: Enter is OK, Escape is Cancel,
    // as in a dialog.
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::NoModifier) {
        switch (event->key()) {
        case Qt::Key_Enter:
        case Qt::Key_Return:
            if (btnOK->isEnabled())
                btnOK->click();
            return;
        case Qt::Key_Escape:
            if (btnCancel->isEnabled())
                btnCancel->click();
            return;
        default:
            break;
        }
    }
    QWidget::keyPressEvent(event);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label1 && event->type() == QEvent::MouseButtonDblClick) {
        Label1DblClick();
        return true;
    }
    if (watched == Label2 && event->type() == QEvent::MouseButtonRelease) {
        if (static_cast<QMouseEvent*>(event)->modifiers() == Qt::AltModifier)
            Label2MouseUp();
        return false;
    }
    if (watched == fbxSites && event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_A && !key->isAutoRepeat()) {
            const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
            if (mods == Qt::ControlModifier)
                SetAllTicks(sites_, true);
            else if (mods == (Qt::ControlModifier | Qt::ShiftModifier))
                SetAllTicks(sites_, false);
        }
        return false;
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- TWindowHost

void TfrmMain::AddToLog(const std::string& message)
{
    log_.AddToLog(message);
}

void TfrmMain::AddLogSeparator()
{
    log_.AddSeparator();
}

TModalResult TfrmMain::MessageBox(const std::string& text, TMsgKind kind, TMsgButtons buttons)
{
    // The hourglass of a running check must not hide the pointer from the box.
    const bool busy = cursor_ == TCursor::HourGlass;
    if (busy)
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    auto restore = QuietScopeExit([busy] {
        if (busy)
            QApplication::restoreOverrideCursor();
    });
    return ShowMessageBox(isVisible() ? this : nullptr, text, kind, buttons);
}

void TfrmMain::SetCursor(TCursor cursor)
{
    if (cursor == cursor_)
        return;
    if (cursor == TCursor::HourGlass)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    cursor_ = cursor;
}

void TfrmMain::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TfrmMain::SetCaption(const std::string& caption)
{
    setWindowTitle(QtText(caption));
}

void TfrmMain::SetTrayTip(const std::string& tip)
{
    trayTip_ = QtText(tip);
    emit TrayStateChanged();
}

void TfrmMain::SetTrayImage(TTrayImage image)
{
    trayImage_ = image;
    emit TrayStateChanged();
}

void TfrmMain::ShowTrayMessage(const std::string& title, const std::string& text)
{
    emit TrayMessage(QtText(title), QtText(text));
}

void TfrmMain::RedrawSiteList()
{
    fbxSites->viewport()->update();
}

void TfrmMain::StartTimer1(std::uint32_t intervalMs)
{
    Timer1.start(static_cast<int>(std::min<std::uint32_t>(intervalMs, 2147483647u)));
}

void TfrmMain::StopTimer1()
{
    Timer1.stop();
}

void TfrmMain::StartTimerAnim()
{
    TimerAnim.start();
}

void TfrmMain::StopTimerAnim()
{
    TimerAnim.stop();
}
