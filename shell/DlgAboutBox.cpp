#include "shell/DlgAboutBox.h"

#include "engine/Product.h"
#include "platform/Utilities.h"
#include "shell/DialogFrame.h"
#include "shell/LinkLabel.h"
#include "shell/OpenDocument.h"
#include "shell/ProgramIcon.h"
#include "shell/QtText.h"
#include "shell/ShellServices.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QUrl>

namespace {

constexpr int ClientWidth = 295;
constexpr int ClientHeight = 153;
// Where the embossed product name is drawn: right of the picture.
constexpr int NameLeft = 92;
constexpr int NameTop = 6;
constexpr int NamePixelSize = 29;

QFont ProductNameFont()
{
    QFont f("Tahoma");
    f.setPixelSize(NamePixelSize);
    f.setBold(true);
    return f;
}

} // namespace

TdlgAboutBox::TdlgAboutBox(TShellServices& services, QWidget* parent) : QDialog(parent)
{
    setObjectName("dlgAboutBox");
    setWindowTitle(QString("About %1").arg(ProductName));

    imgProgram = new QLabel(this);
    imgProgram->setObjectName("imgProgram");
    imgProgram->setPixmap(QPixmap::fromImage(ProgramImage(64)));
    imgProgram->setGeometry(12, 12, 64, 64);
    imgProgram->setCursor(Qt::PointingHandCursor);
    imgProgram->setToolTip("Other software from Quorvan");
    imgProgram->installEventFilter(this);

    const int nameBottom = NameTop + QFontMetrics(ProductNameFont()).height() + 1;
    lblversion = new QLabel("Version ?", this);
    lblversion->setObjectName("lblversion");
    QFont bold = lblversion->font();
    bold.setBold(true);
    lblversion->setFont(bold);
    lblversion->setGeometry(NameLeft + 2, nameBottom, ClientWidth - NameLeft - 8, 18);

    lblCaption = new QLabel("Web pages delivered to you when they change.", this);
    lblCaption->setObjectName("lblCaption");
    lblCaption->setWordWrap(true);
    lblCaption->setGeometry(NameLeft + 2, nameBottom + 20, ClientWidth - NameLeft - 8, 36);

    const QString host = QUrl(MakerWebAddress).host();
    lnkWebSite = new TLinkLabel(host, this);
    lnkWebSite->setObjectName("lnkWebSite");
    lnkWebSite->setToolTip(MakerWebAddress);
    lnkSales = new TLinkLabel(MakerSalesAddress, this);
    lnkSales->setObjectName("lnkSales");
    lnkSales->setToolTip(MakerWebAddress);

    btnClose = new QPushButton(services.Image(5), "Close", this);
    btnClose->setObjectName("btnClose");
    btnClose->setDefault(true);
    // The links come before it in the Tab order, but Enter closes the box.
    btnClose->setFocus();
    const QSize closeSize = btnClose->sizeHint().expandedTo(QSize(80, 25));
    btnClose->setGeometry(ClientWidth - closeSize.width() - 10, ClientHeight - closeSize.height() - 10,
                          closeSize.width(), closeSize.height());

    const int lineHeight = lnkSales->sizeHint().height();
    lnkSales->setGeometry(12, ClientHeight - lineHeight - 10, btnClose->x() - 20, lineHeight);
    lnkWebSite->setGeometry(12, lnkSales->y() - lineHeight - 2, btnClose->x() - 20, lineHeight);

    connect(lnkWebSite, &TLinkLabel::clicked, this, &TdlgAboutBox::lnkWebSiteClick);
    connect(lnkSales, &TLinkLabel::clicked, this, &TdlgAboutBox::lnkWebSiteClick);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);

    SetupDialogFrame(this, ClientWidth, ClientHeight);
}

void TdlgAboutBox::lnkWebSiteClick()
{
    OpenDocument(this, MakerWebAddress);
}

void TdlgAboutBox::imgProgramClick()
{
    OpenDocument(this, EngineText(QUrl(MakerWebAddress).resolved(QUrl("/other/")).toString()));
}

void TdlgAboutBox::showEvent(QShowEvent* event)
{
    lblversion->setText(QtText(GetProductVersion()));
    QDialog::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        CentreOnScreen(this);
    }
}

void TdlgAboutBox::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    // The name is drawn twice, the window-text copy one pixel below the
    // shadow copy, so that it looks pressed into the face of the box.
    QPainter painter(this);
    painter.setFont(ProductNameFont());
    const int baseline = NameTop + painter.fontMetrics().ascent();
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawText(NameLeft, baseline, ProductName);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(NameLeft, baseline + 1, ProductName);
}

bool TdlgAboutBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == imgProgram && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        imgProgramClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
