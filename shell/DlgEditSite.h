#pragma once

// The site editor: a site's name, address and sensitivity, for Add Site and
// Edit Site. The window fills the fields and SetSensitivity, runs it modally,
// and on OK reads the fields and GetSensitivity.

#include "engine/SiteOptions.h"

#include <QDialog>
#include <QString>
#include <QStringList>

class QComboBox;
class QPlainTextEdit;
class QToolButton;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TShellServices;
class TSpinEdit;

// Example addresses of the labels, hints and the invalid-site message.
inline constexpr const char* ExampleSiteAddress = "https://quorvan.example/";
inline constexpr const char* ExampleSubPageAddress = "https://quorvan.example/other/";

// The clipboard's plain text up to its first zero; empty when it offers none.
QString ReadClipboardText();

// The name Add Site derives from a copied address: the label after the
// address's first ".", capitalised ("http://www.my-news.example/" gives "My-News").
QString SiteNameFromAddress(const QString& address);

class TdlgEditSite : public QDialog {
    Q_OBJECT
public:
    explicit TdlgEditSite(TShellServices& services, QWidget* parent = nullptr);

    void SetSensitivity(int threshold);
    int GetSensitivity() const;
    // The watched part and the text to ignore; options show the Advanced
    // part opened.
    void SetSiteOptions(const TSiteOptions& options);
    TSiteOptions GetSiteOptions() const;
    // What Test shows at most of the measured text.
    static constexpr int PreviewCharacters = 2000;

    // The names of the list's other sites: OK refuses them, as sites of one
    // name would share one stored page.
    QStringList OtherSiteNames;

    QLineEdit* edtSiteName;
    QLineEdit* edtSiteURL;
    QPushButton* btnPaste;
    QPushButton* btnView;
    QRadioButton* rdbDefaultChangeVal;
    QRadioButton* rdbCustomChangeVal;
    QLabel* lblSiteCompare;
    QComboBox* cmbSiteCompare;
    TSpinEdit* spnCustomThreshold;
    QToolButton* btnAdvanced;
    QWidget* pnlAdvanced;
    QLineEdit* edtWatch;
    QLineEdit* edtIgnore;
    QPushButton* btnTestWatch;
    QLabel* lblWatchCount;
    QPlainTextEdit* memWatchPreview;
    QPushButton* btnOK;
    QPushButton* btnCancel;

public slots:
    void btnAdvancedClick(bool open);
    void btnTestWatchClick();
    void ChangeControlChange();
    void btnOKClick();
    void btnPasteClick();
    void btnViewClick();
    void edtSiteURLChange();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Add Site opens with "http://": a web address on the clipboard fills it.
    void PrefillFromClipboard();
    // The Advanced part's values are usable for this name; shows why not.
    bool CheckSiteOptions();

    TShellServices& services_;
    bool shownOnce_ = false;
};
