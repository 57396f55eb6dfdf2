// Writes a picture of each dialog into the folder given, for the README and
// for looking at the real layout: run under Xvfb,
//   xvfb-run -a -s "-screen 0 1024x768x24" build/tests/shell/dialog_screenshots docs

#include "shell/DlgAboutBox.h"
#include "shell/DlgEditSite.h"

#include <QLabel>
#include <QPlainTextEdit>
#include "shell/DlgSMTPSettings.h"
#include "tests/shell/FakeShellServices.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QTest>

#include <cstdio>

namespace {

// The window's image list is not here; the style's own pictures stand in.
class TScreenshotServices : public TFakeShellServices {
public:
    QIcon Image(int index) const override
    {
        QStyle* style = QApplication::style();
        switch (index) {
        case 5:
            return style->standardIcon(QStyle::SP_DialogCloseButton);
        case 6:
            return style->standardIcon(QStyle::SP_DialogOkButton);
        case 7:
            return style->standardIcon(QStyle::SP_DialogCancelButton);
        case 12:
            return style->standardIcon(QStyle::SP_FileDialogContentsView);
        case 14:
            return style->standardIcon(QStyle::SP_DialogSaveButton);
        default:
            return TFakeShellServices::Image(index);
        }
    }
};

bool Save(QDialog& dlg, const QDir& folder, const QString& name)
{
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg))
        return false;
    QTest::qWait(200);
    const QString path = folder.filePath(name);
    const bool ok = dlg.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    dlg.hide();
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    TScreenshotServices services;
    services.Host.Settings.Server = {"smtp.mail.example", "jane@mail.example", "secret", 587, 90, true, ssAuto, "", false, {}, {}, {}};
    bool ok = true;

    TdlgEditSite edit(services);
    edit.edtSiteName->setText("Debian News");
    edit.edtSiteURL->setText("https://www.debian.org/News/");
    edit.SetSensitivity(45);
    ok &= Save(edit, folder, "dlg-edit-site.png");

    TdlgEditSite advanced(services);
    advanced.edtSiteName->setText("Kettle");
    advanced.edtSiteURL->setText("https://shop.example/kettles/k1");
    advanced.SetSensitivity(0);
    advanced.SetSiteOptions({"#product .price", "(?i)only \\d+ left"});
    advanced.lblWatchCount->setText("1 element matched.");
    advanced.memWatchPreview->setPlainText("<span class=\"price\">&pound;24.99</span>\n");
    ok &= Save(advanced, folder, "dlg-edit-site-advanced.png");

    TdlgSMTPSettings smtp(services);
    ok &= Save(smtp, folder, "dlg-smtp-settings.png");

    TdlgAboutBox about(services);
    ok &= Save(about, folder, "dlg-about.png");
    return ok ? 0 : 1;
}
