#include "shell/OpenDocument.h"

#include "shell/MessageBoxes.h"
#include "shell/QtText.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

void OpenDocument(QWidget* owner, const std::string& target)
{
    const QString text = QtText(target);
    const QUrl url = QFileInfo::exists(text) ? QUrl::fromLocalFile(text) : QUrl(text);
    if (!QDesktopServices::openUrl(url))
        ShowMessageBox(owner, "Error encountered launching your web browser", TMsgKind::Warning, TMsgButtons::OK);
}
