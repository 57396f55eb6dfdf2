#pragma once

// The About box: the product name embossed, the version, the program's
// picture and the maker's links.

#include <QDialog>

class QLabel;
class QPushButton;
class TLinkLabel;
class TShellServices;

// The maker's sales address shown in the About box.
inline constexpr const char* MakerSalesAddress = "sales@quorvan.example";

class TdlgAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TdlgAboutBox(TShellServices& services, QWidget* parent = nullptr);

    QLabel* imgProgram;
    QLabel* lblversion;
    QLabel* lblCaption;
    TLinkLabel* lnkWebSite;
    TLinkLabel* lnkSales;
    QPushButton* btnClose;

public slots:
    void lnkWebSiteClick();
    void imgProgramClick();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool shownOnce_ = false;
};
