#include "shell/OpenDocument.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

void OpenDocument(QWidget* owner, const std::string& target)
{
    const QString text = QString::fromLocal8Bit(target.c_str());
    const QUrl url = QFileInfo::exists(text) ? QUrl::fromLocalFile(text) : QUrl(text);
    if (!QDesktopServices::openUrl(url))
        QMessageBox::warning(owner, "Vendrel", "Error encountered launching your web browser");
}
