#include "shell/DlgEditSite.h"

#include "engine/ChangeMeasure.h"
#include "engine/PageWatch.h"
#include "engine/Sensitivity.h"
#include "engine/SiteMonitor.h"
#include "platform/ScopeExit.h"
#include "platform/Utilities.h"
#include "shell/DialogFrame.h"
#include "shell/MessageBoxes.h"
#include "shell/OpenDocument.h"
#include "shell/QtText.h"
#include "shell/ShellServices.h"
#include "shell/SpinEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr const char* SiteCompareHint =
    "The sensitivity of the algorithm used when checking for site changes.  Too sensitive and you will get "
    "messages even when minor (often unnoticeable) changes are made.  Too high and you may not get messages "
    "even for major changes in the site";
constexpr const char* CustomThresholdHint =
    "Specify your own threshold to use for determining what level of site changes will generate a new message "
    "(1 to 20000).  Review the log to determine an appropriate value";

constexpr int ClientWidth = 471;
constexpr int ClientHeight = 275;
// The opened Advanced part adds this much.
constexpr int AdvancedHeight = 214;

constexpr const char* WatchHint =
    "Only the parts of the page this CSS selector matches are compared, e.g. #price or .story h2 or "
    "table.prices td.  Elements, #id, .class, [attribute], [attribute=value] (also ~= ^= $= *=), \">\" and \",\" "
    "are understood.  The mail still carries the whole page.  Leave it empty to watch the whole page";
constexpr const char* IgnoreHint =
    "Text matching this regular expression is left out before comparing, e.g. Served at \\d+:\\d+ or "
    "(?i)visitors: \\d+.  Letter case counts unless the pattern begins with (?i).  Leave it empty to ignore nothing";

QString Capitalised(const QString& text)
{
    QString out = text;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const bool wordStart = i == 0 || out[i - 1] == ' ' || out[i - 1] == '-' || out[i - 1] == '.';
        out[i] = wordStart ? out[i].toUpper() : out[i].toLower();
    }
    return out;
}

} // namespace

QString ReadClipboardText()
{
    const QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard ? clipboard->mimeData() : nullptr;
    if (!data || !data->hasText())
        return {};
    QString text = data->text();
    const qsizetype zero = text.indexOf(QChar(0));
    if (zero >= 0)
        text.truncate(zero);
    return text;
}

QString SiteNameFromAddress(const QString& address)
{
    QString name = address;
    if (const qsizetype dot = name.indexOf('.'); dot >= 0)
        name = name.mid(dot + 1);
    if (const qsizetype dot = name.indexOf('.'); dot >= 0)
        name = name.left(dot);
    return Capitalised(name);
}

TdlgEditSite::TdlgEditSite(TShellServices& services, QWidget* parent) : QDialog(parent), services_(services)
{
    setObjectName("dlgEditSite");
    setWindowTitle("Edit Site");

    auto* nameLabel = new QLabel("Website &Name:", this);
    edtSiteName = new QLineEdit(this);
    edtSiteName->setObjectName("edtSiteName");
    edtSiteName->setToolTip("Specify a name to give this site");
    nameLabel->setBuddy(edtSiteName);

    auto* urlLabel = new QLabel(QString("Website &Address (e.g. %1):").arg(ExampleSiteAddress), this);
    edtSiteURL = new QLineEdit("http://", this);
    edtSiteURL->setObjectName("edtSiteURL");
    edtSiteURL->setToolTip(QString("The address of the web page to monitor (copy it from site box in your web "
                                   "browser):\ne.g. %1 or %2")
                               .arg(ExampleSiteAddress, ExampleSubPageAddress));
    urlLabel->setBuddy(edtSiteURL);

    btnPaste = new QPushButton(services_.Image(14), "&Paste", this);
    btnPaste->setObjectName("btnPaste");
    btnPaste->setToolTip("Paste a site from the clipboard");
    btnPaste->setAutoDefault(false);
    btnView = new QPushButton(services_.Image(12), "&View", this);
    btnView->setObjectName("btnView");
    btnView->setToolTip("Display this site in your web browser");
    btnView->setAutoDefault(false);
    btnView->setEnabled(false);

    auto* whenLabel = new QLabel("When to send site:", this);
    rdbDefaultChangeVal = new QRadioButton("Use the &default setting (as specified in the main window)", this);
    rdbDefaultChangeVal->setObjectName("rdbDefaultChangeVal");
    rdbDefaultChangeVal->setChecked(true);
    rdbCustomChangeVal = new QRadioButton("Use a &custom setting for this site", this);
    rdbCustomChangeVal->setObjectName("rdbCustomChangeVal");

    lblSiteCompare = new QLabel("&Send:", this);
    lblSiteCompare->setObjectName("lblSiteCompare");
    lblSiteCompare->setEnabled(false);
    cmbSiteCompare = new QComboBox(this);
    cmbSiteCompare->setObjectName("cmbSiteCompare");
    cmbSiteCompare->addItems(services_.SensitivityItems());
    cmbSiteCompare->setToolTip(SiteCompareHint);
    cmbSiteCompare->setEnabled(false);
    lblSiteCompare->setBuddy(cmbSiteCompare);
    spnCustomThreshold = new TSpinEdit(this);
    spnCustomThreshold->setObjectName("spnCustomThreshold");
    spnCustomThreshold->SetLimits(CustomThresholdMin, CustomThresholdMax);
    spnCustomThreshold->setValue(50);
    spnCustomThreshold->setToolTip(CustomThresholdHint);
    // The hidden field keeps its place, so the list does not jump when it shows.
    QSizePolicy keepPlace = spnCustomThreshold->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    spnCustomThreshold->setSizePolicy(keepPlace);
    spnCustomThreshold->setVisible(false);

    btnAdvanced = new QToolButton(this);
    btnAdvanced->setObjectName("btnAdvanced");
    btnAdvanced->setText("Advanc&ed");
    btnAdvanced->setToolTip("Watch only part of the page, or ignore text that changes on every visit");
    btnAdvanced->setCheckable(true);
    btnAdvanced->setArrowType(Qt::RightArrow);
    btnAdvanced->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnAdvanced->setAutoRaise(true);

    pnlAdvanced = new QWidget(this);
    pnlAdvanced->setObjectName("pnlAdvanced");
    auto* watchLabel = new QLabel("&Watch only this part of the page (CSS selector):", pnlAdvanced);
    edtWatch = new QLineEdit(pnlAdvanced);
    edtWatch->setObjectName("edtWatch");
    edtWatch->setToolTip(WatchHint);
    edtWatch->setPlaceholderText("e.g. #price");
    watchLabel->setBuddy(edtWatch);
    auto* ignoreLabel = new QLabel("&Ignore text matching (regular expression):", pnlAdvanced);
    edtIgnore = new QLineEdit(pnlAdvanced);
    edtIgnore->setObjectName("edtIgnore");
    edtIgnore->setToolTip(IgnoreHint);
    edtIgnore->setPlaceholderText("e.g. Served at \\d+:\\d+");
    ignoreLabel->setBuddy(edtIgnore);
    btnTestWatch = new QPushButton(services_.Image(12), "&Test", pnlAdvanced);
    btnTestWatch->setObjectName("btnTestWatch");
    btnTestWatch->setToolTip("Fetch the page now and show what Vendrel would compare of it");
    btnTestWatch->setAutoDefault(false);
    lblWatchCount = new QLabel(pnlAdvanced);
    lblWatchCount->setObjectName("lblWatchCount");
    memWatchPreview = new QPlainTextEdit(pnlAdvanced);
    memWatchPreview->setObjectName("memWatchPreview");
    memWatchPreview->setReadOnly(true);
    memWatchPreview->setToolTip("What Vendrel compares of the page (its first 2,000 characters)");
    memWatchPreview->setPlaceholderText("Press Test to see what Vendrel would compare of the page.");
    memWatchPreview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    memWatchPreview->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    auto* advanced = new QVBoxLayout(pnlAdvanced);
    advanced->setContentsMargins(20, 0, 0, 0);
    advanced->setSpacing(3);
    advanced->addWidget(watchLabel);
    advanced->addWidget(edtWatch);
    advanced->addWidget(ignoreLabel);
    advanced->addWidget(edtIgnore);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(btnTestWatch);
    testRow->addWidget(lblWatchCount, 1);
    advanced->addLayout(testRow);
    advanced->addWidget(memWatchPreview, 1);
    pnlAdvanced->setVisible(false);

    const TOKCancelButtons okCancel = MakeOKCancelButtons(this, services_.Image(6), services_.Image(7));
    btnOK = okCancel.OK;
    btnCancel = okCancel.Cancel;

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 10);
    layout->setSpacing(3);
    layout->addWidget(nameLabel);
    layout->addWidget(edtSiteName);
    layout->addSpacing(6);
    layout->addWidget(urlLabel);
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(edtSiteURL, 1);
    urlRow->addWidget(btnPaste);
    urlRow->addWidget(btnView);
    layout->addLayout(urlRow);
    layout->addSpacing(8);
    layout->addWidget(whenLabel);
    layout->addWidget(rdbDefaultChangeVal);
    layout->addWidget(rdbCustomChangeVal);
    auto* compareRow = new QHBoxLayout;
    compareRow->addSpacing(20);
    compareRow->addWidget(lblSiteCompare);
    compareRow->addWidget(cmbSiteCompare, 1);
    compareRow->addWidget(spnCustomThreshold);
    layout->addLayout(compareRow);
    layout->addSpacing(4);
    layout->addWidget(btnAdvanced, 0, Qt::AlignLeft);
    layout->addWidget(pnlAdvanced, 1);
    layout->addStretch(1);
    layout->addLayout(okCancel.Row);

    SetTabChain({edtSiteName, edtSiteURL, btnPaste, btnView, rdbDefaultChangeVal, rdbCustomChangeVal, cmbSiteCompare,
                 spnCustomThreshold, btnAdvanced, edtWatch, edtIgnore, btnTestWatch, memWatchPreview, btnOK, btnCancel});

    connect(rdbDefaultChangeVal, &QRadioButton::toggled, this, &TdlgEditSite::ChangeControlChange);
    connect(rdbCustomChangeVal, &QRadioButton::toggled, this, &TdlgEditSite::ChangeControlChange);
    connect(cmbSiteCompare, &QComboBox::currentIndexChanged, this, &TdlgEditSite::ChangeControlChange);
    connect(edtSiteURL, &QLineEdit::textChanged, this, &TdlgEditSite::edtSiteURLChange);
    connect(btnPaste, &QPushButton::clicked, this, &TdlgEditSite::btnPasteClick);
    connect(btnView, &QPushButton::clicked, this, &TdlgEditSite::btnViewClick);
    connect(btnAdvanced, &QToolButton::toggled, this, &TdlgEditSite::btnAdvancedClick);
    connect(btnTestWatch, &QPushButton::clicked, this, &TdlgEditSite::btnTestWatchClick);
    connect(btnOK, &QPushButton::clicked, this, &TdlgEditSite::btnOKClick);

    SetupDialogFrame(this, ClientWidth, ClientHeight);
}

void TdlgEditSite::SetSiteOptions(const TSiteOptions& options)
{
    edtWatch->setText(QtText(options.Watch));
    edtIgnore->setText(QtText(options.Ignore));
    btnAdvanced->setChecked(!options.Empty());
}

TSiteOptions TdlgEditSite::GetSiteOptions() const
{
    return TSiteOptions{EngineText(edtWatch->text().trimmed()),
                        EngineText(edtIgnore->text())};
}

void TdlgEditSite::btnAdvancedClick(bool open)
{
    btnAdvanced->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    pnlAdvanced->setVisible(open);
    setFixedSize(ClientWidth, ClientHeight + (open ? AdvancedHeight : 0));
}

bool TdlgEditSite::CheckSiteOptions()
{
    const TSiteOptions options = GetSiteOptions();
    if (options.Empty())
        return true;
    const auto refuse = [this](const std::string& text, QLineEdit* field) {
        btnAdvanced->setChecked(true);
        ShowMessageBox(this, text, TMsgKind::Information, TMsgButtons::OK);
        if (field)
            field->setFocus();
        return false;
    };
    if (const std::string why = SiteOptionsNameError(EngineText(edtSiteName->text())); !why.empty())
        return refuse(why, edtSiteName);
    if (const std::string why = TPageWatch::SelectorError(options.Watch); !why.empty())
        return refuse(why + ".", edtWatch);
    if (const std::string why = TPageWatch::PatternError(options.Ignore); !why.empty())
        return refuse(why + ".", edtIgnore);
    return true;
}

void TdlgEditSite::btnTestWatchClick()
{
    const TSiteOptions options = GetSiteOptions();
    const std::string address = EngineText(edtSiteURL->text());
    if (!CheckSiteOptions())
        return;
    const std::string upper = edtSiteURL->text().toUpper().toStdString();
    if (upper.find("TP:/") == std::string::npos && upper.find("TPS:/") == std::string::npos) {
        ShowMessageBox(this, "Enter the site's address first, then press Test again.", TMsgKind::Information,
                       TMsgButtons::OK);
        edtSiteURL->setFocus();
        return;
    }
    // The running check holds the one download: a test now would cancel its fetch.
    TSiteMonitor& monitor = services_.Monitor();
    if (monitor.Running()) {
        ShowMessageBox(this, "Vendrel is busy checking your sites; press Test again when it has finished.",
                       TMsgKind::Information, TMsgButtons::OK);
        return;
    }
    lblWatchCount->setText("Fetching the page...");
    memWatchPreview->clear();
    btnTestWatch->setEnabled(false);
    std::string page;
    {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        const TScopeExit restore([] { QGuiApplication::restoreOverrideCursor(); });
        monitor.Download.DownloadPage(address, page);
    }
    btnTestWatch->setEnabled(true);
    if (page.empty()) {
        lblWatchCount->setText("The page could not be fetched.");
        return;
    }
    try {
        const TPageWatch watch(options);
        std::size_t matched = 0;
        const std::string measured = watch.MeasuredText(page, &matched);
        if (!watch.Watching())
            lblWatchCount->setText("The whole page is compared.");
        else if (matched == 0)
            lblWatchCount->setText("Nothing on the page matches the watched part.");
        else
            lblWatchCount->setText(matched == 1 ? QString("1 element matched.")
                                                : QString("%1 elements matched.").arg(matched));
        QString shown = QtText(measured);
        shown.replace("\r\n", "\n");
        memWatchPreview->setPlainText(shown.left(PreviewCharacters));
    } catch (const EWatchError& e) {
        lblWatchCount->setText("The test failed.");
        ShowMessageBox(this, e.what(), TMsgKind::Error, TMsgButtons::OK);
    }
}

void TdlgEditSite::SetSensitivity(int threshold)
{
    TSensitivityChoice choice{cmbSiteCompare->currentIndex(), spnCustomThreshold->Value()};
    if (threshold == ThresholdDefault) {
        rdbDefaultChangeVal->setChecked(true);
        ShowThreshold(choice, services_.DefaultThreshold());
    } else {
        rdbCustomChangeVal->setChecked(true);
        ShowThreshold(choice, threshold);
    }
    spnCustomThreshold->setValue(choice.CustomThreshold);
    cmbSiteCompare->setCurrentIndex(choice.ItemIndex);
    ChangeControlChange();
}

int TdlgEditSite::GetSensitivity() const
{
    if (rdbDefaultChangeVal->isChecked())
        return ThresholdDefault;
    return ThresholdOfChoice({cmbSiteCompare->currentIndex(), spnCustomThreshold->Value()});
}

void TdlgEditSite::ChangeControlChange()
{
    const bool custom = rdbCustomChangeVal->isChecked();
    cmbSiteCompare->setEnabled(custom);
    lblSiteCompare->setEnabled(custom);
    spnCustomThreshold->setVisible(cmbSiteCompare->isEnabled() &&
                                   cmbSiteCompare->currentIndex() == SensitivityCustomIndex);
}

void TdlgEditSite::btnOKClick()
{
    const QString name = edtSiteName->text();
    if (name.isEmpty()) {
        ShowMessageBox(this, "You have not specified a name for the site.", TMsgKind::Information,
                       TMsgButtons::OK);
        return;
    }
    if (HasInvalidFileChars(EngineText(name))) {
        ShowMessageBox(this, "Site names cannot contain the following characters: \\ / : * ? \" < > |",
                       TMsgKind::Information, TMsgButtons::OK);
        return;
    }
    // The list reads a name without its trailing blanks.
    QString listName = name;
    while (listName.endsWith(' '))
        listName.chop(1);
    if (OtherSiteNames.contains(listName)) {
        ShowMessageBox(this,
                       QString("You already have a site named %1.  Please give this site a name of its own.")
                           .arg(listName)
                           .toStdString(),
                       TMsgKind::Information, TMsgButtons::OK);
        return;
    }
    // Secure addresses are downloaded as well as plain ones, so both schemes
    // (and ftp) pass.
    const QString address = edtSiteURL->text().toUpper();
    if (!address.contains("TP:/") && !address.contains("TPS:/")) {
        ShowMessageBox(this,
                       EngineText(QString("You have not specified a valid web site (valid site examples are %1 or %2).")
                           .arg(ExampleSiteAddress, ExampleSubPageAddress)),
                       TMsgKind::Information, TMsgButtons::OK);
        return;
    }
    if (!CheckSiteOptions())
        return;
    accept();
}

void TdlgEditSite::btnPasteClick()
{
    edtSiteURL->paste();
}

void TdlgEditSite::btnViewClick()
{
    OpenDocument(this, EngineText(edtSiteURL->text()));
}

void TdlgEditSite::edtSiteURLChange()
{
    btnView->setEnabled(!edtSiteURL->text().isEmpty());
}

void TdlgEditSite::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    CentreOnScreen(this);
    if (edtSiteURL->text() == "http://")
        PrefillFromClipboard();
}

void TdlgEditSite::PrefillFromClipboard()
{
    const QString text = ReadClipboardText();
    const QString upper = text.toUpper();
    if (upper.startsWith("HTTP://") || upper.startsWith("HTTPS://")) {
        edtSiteURL->setText(text);
        edtSiteName->setText(SiteNameFromAddress(text));
    }
    edtSiteURL->selectAll();
    edtSiteName->selectAll();
}
