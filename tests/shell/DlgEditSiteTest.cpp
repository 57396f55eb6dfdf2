#include "shell/DlgEditSite.h"

#include "engine/ChangeMeasure.h"
#include "shell/SpinEdit.h"
#include "tests/shell/FakeShellServices.h"
#include "tests/shell/Captions.h"
#include "tests/support/LoopbackServers.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QSet>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class EditSite : public ::testing::Test {
protected:
    void SetUp() override { QGuiApplication::clipboard()->clear(); }

    // Shows the editor as Add Site does: empty name, "http://", default sensitivity.
    void OpenForAdd()
    {
        dlg_.edtSiteName->setText("");
        dlg_.edtSiteURL->setText("http://");
        dlg_.SetSensitivity(ThresholdDefault);
        Show();
    }
    void OpenFor(const QString& name, const QString& address, int threshold)
    {
        dlg_.edtSiteName->setText(name);
        dlg_.edtSiteURL->setText(address);
        dlg_.SetSensitivity(threshold);
        Show();
    }
    void Show()
    {
        dlg_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg_));
    }
    void Type(QLineEdit* edit, const QString& text)
    {
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    // Presses OK with these fields; true when the dialog closed with OK.
    bool PressOK(const QString& name, const QString& address)
    {
        dlg_.setResult(QDialog::Rejected);
        Type(dlg_.edtSiteName, name);
        Type(dlg_.edtSiteURL, address);
        QTest::mouseClick(dlg_.btnOK, Qt::LeftButton);
        return !dlg_.isVisible() && dlg_.result() == QDialog::Accepted;
    }
    void PutOnClipboard(const QString& text) { QGuiApplication::clipboard()->setText(text); }

    TFakeShellServices services_;
    TBoxRecorder boxes_;
    TdlgEditSite dlg_{services_};
};

const std::string InvalidSiteText = "You have not specified a valid web site (valid site examples are "
                                    "https://quorvan.example/ or https://quorvan.example/other/).";

} // namespace

TEST_F(EditSite, ControlsAsDesigned)
{
    EXPECT_EQ(dlg_.windowTitle(), "Edit Site");
    EXPECT_EQ(dlg_.size(), QSize(471, 275));
    EXPECT_EQ(dlg_.minimumSize(), dlg_.maximumSize());
    const Qt::WindowFlags flags = dlg_.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowContextHelpButtonHint));

    for (const char* name : {"edtSiteName", "edtSiteURL", "btnPaste", "btnView", "rdbDefaultChangeVal",
                             "rdbCustomChangeVal", "lblSiteCompare", "cmbSiteCompare", "spnCustomThreshold",
                             "btnOK", "btnCancel"})
        EXPECT_NE(dlg_.findChild<QWidget*>(name), nullptr) << name;

    EXPECT_EQ(dlg_.edtSiteName->text(), "");
    EXPECT_EQ(dlg_.edtSiteName->toolTip(), "Specify a name to give this site");
    EXPECT_EQ(dlg_.edtSiteURL->text(), "http://");
    EXPECT_EQ(dlg_.edtSiteURL->toolTip(),
              "The address of the web page to monitor (copy it from site box in your web browser):\n"
              "e.g. https://quorvan.example/ or https://quorvan.example/other/");
    EXPECT_EQ(Shown(dlg_.btnPaste->text()), "Paste");
    EXPECT_EQ(dlg_.btnPaste->toolTip(), "Paste a site from the clipboard");
    EXPECT_EQ(Shown(dlg_.btnView->text()), "View");
    EXPECT_EQ(dlg_.btnView->toolTip(), "Display this site in your web browser");
    EXPECT_FALSE(dlg_.btnView->isEnabled());
    EXPECT_TRUE(dlg_.rdbDefaultChangeVal->isChecked());
    EXPECT_EQ(Shown(dlg_.rdbDefaultChangeVal->text()), "Use the default setting (as specified in the main window)");
    EXPECT_EQ(Shown(dlg_.rdbCustomChangeVal->text()), "Use a custom setting for this site");
    EXPECT_EQ(Shown(dlg_.lblSiteCompare->text()), "Send:");
    EXPECT_FALSE(dlg_.lblSiteCompare->isEnabled());
    EXPECT_FALSE(dlg_.cmbSiteCompare->isEnabled());
    ASSERT_EQ(dlg_.cmbSiteCompare->count(), 8);
    EXPECT_EQ(dlg_.cmbSiteCompare->itemText(7), "When the changes exceeds a custom threshold:");
    EXPECT_TRUE(dlg_.cmbSiteCompare->toolTip().startsWith("The sensitivity of the algorithm"));
    EXPECT_TRUE(dlg_.spnCustomThreshold->isHidden());
    EXPECT_EQ(dlg_.spnCustomThreshold->minimum(), 1);
    EXPECT_EQ(dlg_.spnCustomThreshold->maximum(), 20000);
    EXPECT_EQ(dlg_.spnCustomThreshold->value(), 50);
    EXPECT_TRUE(dlg_.btnOK->isDefault());

    // Images from the window's list: paste 14, view 12, OK 6, cancel 7.
    EXPECT_EQ(dlg_.btnPaste->icon().cacheKey(), services_.Image(14).cacheKey());
    EXPECT_EQ(dlg_.btnView->icon().cacheKey(), services_.Image(12).cacheKey());
    EXPECT_EQ(dlg_.btnOK->icon().cacheKey(), services_.Image(6).cacheKey());
    EXPECT_EQ(dlg_.btnCancel->icon().cacheKey(), services_.Image(7).cacheKey());

    const std::vector<QWidget*> order = {dlg_.edtSiteName, dlg_.edtSiteURL, dlg_.btnPaste, dlg_.btnView,
                                         dlg_.rdbDefaultChangeVal, dlg_.rdbCustomChangeVal, dlg_.cmbSiteCompare,
                                         dlg_.spnCustomThreshold, dlg_.btnAdvanced, dlg_.edtWatch, dlg_.edtIgnore,
                                         dlg_.btnTestWatch, dlg_.memWatchPreview, dlg_.btnOK, dlg_.btnCancel};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        // Labels and a spin box's own line edit sit in the chain too.
        while (next && (!(next->focusPolicy() & Qt::TabFocus) || next->parentWidget() == order[i]))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i + 1]) << order[i]->objectName().toStdString();
    }
}

TEST_F(EditSite, EachValidationMessageKeepsTheDialogOpen)
{
    OpenFor("", "http://", ThresholdDefault);
    EXPECT_FALSE(PressOK("", "http://news.example/"));
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_EQ(boxes_.Boxes[0].Text, "You have not specified a name for the site.");
    EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Information);
    EXPECT_EQ(boxes_.Boxes[0].Buttons, TMsgButtons::OK);

    for (char c : std::string("\\/:*?\"<>|")) {
        boxes_.Boxes.clear();
        EXPECT_FALSE(PressOK(QString("News") + c + "Today", "http://news.example/")) << c;
        ASSERT_EQ(boxes_.Boxes.size(), 1u) << c;
        EXPECT_EQ(boxes_.Boxes[0].Text, "Site names cannot contain the following characters: \\ / : * ? \" < > |");
        EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Information);
    }

    // The name is checked first: a bad name and a bad address give the name's message.
    boxes_.Boxes.clear();
    EXPECT_FALSE(PressOK("a|b", "news.example"));
    ASSERT_EQ(boxes_.Boxes.size(), 1u);
    EXPECT_NE(boxes_.Boxes[0].Text.find("Site names"), std::string::npos);

    for (const char* address : {"news.example", "www.news.example/index.html", "mailto:me@news.example",
                                "http:news.example", ""}) {
        boxes_.Boxes.clear();
        EXPECT_FALSE(PressOK("News", address)) << address;
        ASSERT_EQ(boxes_.Boxes.size(), 1u) << address;
        EXPECT_EQ(boxes_.Boxes[0].Text, InvalidSiteText);
        EXPECT_EQ(boxes_.Boxes[0].Kind, TMsgKind::Information);
        EXPECT_EQ(boxes_.Boxes[0].Buttons, TMsgButtons::OK);
    }
    EXPECT_TRUE(dlg_.isVisible());
}

TEST_F(EditSite, AcceptsWebAndFtpAddressesAndTheNameAsTyped)
{
    OpenFor("", "http://", ThresholdDefault);
    // Secure pages download like plain ones, so the editor takes them.
    for (const char* address : {"http://news.example/", "https://news.example/", "HTTPS://NEWS.EXAMPLE/a?b=1",
                                "ftp://files.example/list.txt", "HtTp://mixed.example/"}) {
        Show();
        EXPECT_TRUE(PressOK("News", address)) << address;
        EXPECT_EQ(dlg_.edtSiteURL->text(), address);
    }
    EXPECT_TRUE(boxes_.Boxes.empty());

    Show();
    EXPECT_TRUE(PressOK("  News  ", "https://news.example/"));
    EXPECT_EQ(dlg_.edtSiteName->text(), "  News  ");
    Show();
    EXPECT_TRUE(PressOK("News {today}", "https://news.example/"));
    EXPECT_EQ(dlg_.edtSiteName->text(), "News {today}");
}

TEST_F(EditSite, OkCancelEscapeAndEnter)
{
    OpenFor("News", "https://news.example/", 30);
    QTest::mouseClick(dlg_.btnCancel, Qt::LeftButton);
    EXPECT_FALSE(dlg_.isVisible());
    EXPECT_EQ(dlg_.result(), QDialog::Rejected);

    Show();
    dlg_.edtSiteName->setFocus();
    QTest::keyClick(dlg_.edtSiteName, Qt::Key_Escape);
    EXPECT_FALSE(dlg_.isVisible());
    EXPECT_EQ(dlg_.result(), QDialog::Rejected);

    Show();
    dlg_.edtSiteName->setFocus();
    QTest::keyClick(dlg_.edtSiteName, Qt::Key_Return);
    EXPECT_FALSE(dlg_.isVisible());
    EXPECT_EQ(dlg_.result(), QDialog::Accepted);
}

TEST_F(EditSite, RunsModallyAsTheWindowUsesIt)
{
    PutOnClipboard("not an address");
    dlg_.edtSiteName->setText("News");
    dlg_.edtSiteURL->setText("https://news.example/");
    dlg_.SetSensitivity(60);
    QTimer::singleShot(0, &dlg_, [this] {
        dlg_.rdbDefaultChangeVal->click();
        dlg_.edtSiteURL->setText("https://news.example/today");
        dlg_.btnOK->click();
    });
    ASSERT_EQ(dlg_.exec(), QDialog::Accepted);
    EXPECT_EQ(dlg_.edtSiteName->text(), "News");
    EXPECT_EQ(dlg_.edtSiteURL->text(), "https://news.example/today");
    EXPECT_EQ(dlg_.GetSensitivity(), ThresholdDefault);
}

TEST_F(EditSite, AddSitePrefillsAWebAddressFromTheClipboard)
{
    PutOnClipboard("http://www.my-news.example/today.html");
    OpenForAdd();
    EXPECT_EQ(dlg_.edtSiteURL->text(), "http://www.my-news.example/today.html");
    EXPECT_EQ(dlg_.edtSiteName->text(), "My-News");
    EXPECT_EQ(dlg_.edtSiteURL->selectedText(), dlg_.edtSiteURL->text());
    EXPECT_EQ(dlg_.edtSiteName->selectedText(), "My-News");
    EXPECT_TRUE(dlg_.btnView->isEnabled());
}

TEST_F(EditSite, AddSitePrefillsASecureAddressToo)
{
    PutOnClipboard("HTTPS://WWW.WEATHER.EXAMPLE/");
    OpenForAdd();
    EXPECT_EQ(dlg_.edtSiteURL->text(), "HTTPS://WWW.WEATHER.EXAMPLE/");
    EXPECT_EQ(dlg_.edtSiteName->text(), "Weather");
}

TEST_F(EditSite, OtherClipboardContentLeavesTheFieldsAlone)
{
    for (const QString& text : {QString("just some words"), QString("ftp://files.example/"),
                                QString(" http://leading-blank.example/"), QString("")}) {
        PutOnClipboard(text);
        TdlgEditSite dlg(services_);
        dlg.edtSiteURL->setText("http://");
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
        EXPECT_EQ(dlg.edtSiteURL->text(), "http://") << text.toStdString();
        EXPECT_EQ(dlg.edtSiteName->text(), "") << text.toStdString();
    }

    // An image on the clipboard offers no text.
    auto* image = new QMimeData;
    image->setImageData(QImage(4, 4, QImage::Format_RGB32));
    QGuiApplication::clipboard()->setMimeData(image);
    EXPECT_EQ(ReadClipboardText(), "");
    OpenForAdd();
    EXPECT_EQ(dlg_.edtSiteURL->text(), "http://");
}

TEST_F(EditSite, EditingAnExistingSiteIgnoresTheClipboard)
{
    PutOnClipboard("http://www.other.example/");
    OpenFor("News", "http://news.example/", ThresholdDefault);
    EXPECT_EQ(dlg_.edtSiteURL->text(), "http://news.example/");
    EXPECT_EQ(dlg_.edtSiteName->text(), "News");
}

TEST_F(EditSite, ClipboardTextEndsAtItsFirstZero)
{
    PutOnClipboard(QString("http://www.zero.example/") + QChar(0) + "tail");
    EXPECT_EQ(ReadClipboardText(), "http://www.zero.example/");
    OpenForAdd();
    EXPECT_EQ(dlg_.edtSiteURL->text(), "http://www.zero.example/");
    EXPECT_EQ(dlg_.edtSiteName->text(), "Zero");
}

TEST(SiteNameFromAddress, TakesTheLabelAfterTheFirstDotCapitalised)
{
    EXPECT_EQ(SiteNameFromAddress("http://www.bbc.co.uk/news"), "Bbc");
    EXPECT_EQ(SiteNameFromAddress("https://news.my-town.example/"), "My-Town");
    EXPECT_EQ(SiteNameFromAddress("http://www.SHOUTING.example"), "Shouting");
    // Two labels: the part after the dot is what is left.
    EXPECT_EQ(SiteNameFromAddress("http://example.com/a b"), "Com/a B");
    // No dot at all: the whole address, capitalised.
    EXPECT_EQ(SiteNameFromAddress("http://localhost/"), "Http://localhost/");
    EXPECT_EQ(SiteNameFromAddress("http://www..example/"), "");
}

TEST_F(EditSite, DefaultSensitivityShowsTheWindowsChoiceGreyed)
{
    services_.Host.Settings.Sensitivity = {5, 50}; // MANY changes, 60
    OpenFor("News", "http://news.example/", ThresholdDefault);
    EXPECT_TRUE(dlg_.rdbDefaultChangeVal->isChecked());
    EXPECT_EQ(dlg_.cmbSiteCompare->currentIndex(), 5);
    EXPECT_FALSE(dlg_.cmbSiteCompare->isEnabled());
    EXPECT_FALSE(dlg_.lblSiteCompare->isEnabled());
    EXPECT_EQ(dlg_.GetSensitivity(), ThresholdDefault);

    // On the button's own circle: the rest of its row is not the button.
    QTest::mouseClick(dlg_.rdbCustomChangeVal, Qt::LeftButton, {}, QPoint(8, dlg_.rdbCustomChangeVal->height() / 2));
    EXPECT_TRUE(dlg_.cmbSiteCompare->isEnabled());
    EXPECT_TRUE(dlg_.lblSiteCompare->isEnabled());
    EXPECT_FALSE(dlg_.spnCustomThreshold->isVisible());
    EXPECT_EQ(dlg_.GetSensitivity(), 60);
}

TEST_F(EditSite, CustomFieldShowsOnlyForTheEnabledCustomLevel)
{
    // The window's own choice is a custom 45: shown, but the field stays
    // hidden while the list is greyed.
    services_.Host.Settings.Sensitivity = {7, 45};
    OpenFor("News", "http://news.example/", ThresholdDefault);
    EXPECT_EQ(dlg_.cmbSiteCompare->currentIndex(), 7);
    EXPECT_EQ(dlg_.spnCustomThreshold->value(), 45);
    EXPECT_FALSE(dlg_.spnCustomThreshold->isVisible());

    dlg_.rdbCustomChangeVal->click();
    EXPECT_TRUE(dlg_.spnCustomThreshold->isVisible());
    EXPECT_EQ(dlg_.GetSensitivity(), 45);

    dlg_.cmbSiteCompare->setCurrentIndex(3);
    EXPECT_FALSE(dlg_.spnCustomThreshold->isVisible());
    EXPECT_EQ(dlg_.GetSensitivity(), 10);
    dlg_.cmbSiteCompare->setCurrentIndex(7);
    EXPECT_TRUE(dlg_.spnCustomThreshold->isVisible());

    dlg_.spnCustomThreshold->selectAll();
    QTest::keyClicks(dlg_.spnCustomThreshold, "777");
    EXPECT_EQ(dlg_.GetSensitivity(), 777);

    // A text that is not a number counts as the field's minimum.
    dlg_.spnCustomThreshold->selectAll();
    QTest::keyClicks(dlg_.spnCustomThreshold, "abc");
    EXPECT_EQ(dlg_.GetSensitivity(), 1);

    dlg_.rdbDefaultChangeVal->click();
    EXPECT_FALSE(dlg_.spnCustomThreshold->isVisible());
    EXPECT_FALSE(dlg_.cmbSiteCompare->isEnabled());
    EXPECT_EQ(dlg_.GetSensitivity(), ThresholdDefault);
}

TEST_F(EditSite, EveryThresholdComesBackAsItWasSet)
{
    Show();
    for (int threshold : {ThresholdAlways, 0, 1, 10, 30, 60, 120, 2, 45, 20000, ThresholdDefault}) {
        dlg_.SetSensitivity(threshold);
        EXPECT_EQ(dlg_.GetSensitivity(), threshold) << threshold;
        EXPECT_EQ(dlg_.rdbCustomChangeVal->isChecked(), threshold != ThresholdDefault) << threshold;
        EXPECT_EQ(dlg_.cmbSiteCompare->isEnabled(), threshold != ThresholdDefault) << threshold;
    }
    dlg_.SetSensitivity(45);
    EXPECT_EQ(dlg_.cmbSiteCompare->currentIndex(), 7);
    EXPECT_TRUE(dlg_.spnCustomThreshold->isVisible());
    dlg_.SetSensitivity(120);
    EXPECT_EQ(dlg_.cmbSiteCompare->currentIndex(), 6);
    EXPECT_FALSE(dlg_.spnCustomThreshold->isVisible());
    // Beyond the field's range the value is held at its maximum.
    dlg_.SetSensitivity(25000);
    EXPECT_EQ(dlg_.GetSensitivity(), 20000);
}

TEST_F(EditSite, ViewFollowsTheAddressAndOpensIt)
{
    TOpenedUrls opened({"https"});
    OpenFor("News", "https://news.example/", ThresholdDefault);
    EXPECT_TRUE(dlg_.btnView->isEnabled());
    dlg_.edtSiteURL->clear();
    EXPECT_FALSE(dlg_.btnView->isEnabled());
    QTest::keyClicks(dlg_.edtSiteURL, "https://news.example/page");
    EXPECT_TRUE(dlg_.btnView->isEnabled());
    QTest::mouseClick(dlg_.btnView, Qt::LeftButton);
    ASSERT_EQ(opened.Urls.size(), 1);
    EXPECT_EQ(opened.Urls[0], QUrl("https://news.example/page"));
    EXPECT_TRUE(boxes_.Boxes.empty());
}

TEST_F(EditSite, PasteReplacesTheSelection)
{
    OpenFor("News", "https://news.example/", ThresholdDefault);
    PutOnClipboard("https://other.example/");
    dlg_.edtSiteURL->selectAll();
    QTest::mouseClick(dlg_.btnPaste, Qt::LeftButton);
    EXPECT_EQ(dlg_.edtSiteURL->text(), "https://other.example/");

    PutOnClipboard("sub/");
    dlg_.edtSiteURL->setSelection(dlg_.edtSiteURL->text().size(), 0);
    QTest::mouseClick(dlg_.btnPaste, Qt::LeftButton);
    EXPECT_EQ(dlg_.edtSiteURL->text(), "https://other.example/sub/");
}

TEST_F(EditSite, TheAdvancedPartOpensWithOptionsAndIsValidatedOnOK)
{
    OpenFor("Shop", "http://shop.example/", ThresholdDefault);
    EXPECT_FALSE(dlg_.btnAdvanced->isChecked());
    EXPECT_FALSE(dlg_.pnlAdvanced->isVisible());
    EXPECT_EQ(dlg_.size(), QSize(471, 275));
    EXPECT_EQ(dlg_.btnAdvanced->text(), "Advanc&ed");
    QTest::mouseClick(dlg_.btnAdvanced, Qt::LeftButton);
    EXPECT_TRUE(dlg_.pnlAdvanced->isVisible());
    EXPECT_GT(dlg_.height(), 275);
    EXPECT_EQ(dlg_.width(), 471);
    bool watchLabel = false, ignoreLabel = false;
    for (const QLabel* label : dlg_.pnlAdvanced->findChildren<QLabel*>()) {
        watchLabel |= label->text() == "&Watch only this part of the page (CSS selector):" && label->buddy() == dlg_.edtWatch;
        ignoreLabel |= label->text() == "&Ignore text matching (regular expression):" && label->buddy() == dlg_.edtIgnore;
    }
    EXPECT_TRUE(watchLabel);
    EXPECT_TRUE(ignoreLabel);
    EXPECT_FALSE(dlg_.edtWatch->toolTip().isEmpty());
    EXPECT_FALSE(dlg_.edtIgnore->toolTip().isEmpty());
    EXPECT_EQ(dlg_.btnTestWatch->text(), "&Test");
    QTest::mouseClick(dlg_.btnAdvanced, Qt::LeftButton);
    EXPECT_EQ(dlg_.size(), QSize(471, 275));

    dlg_.SetSiteOptions({"#price", ""});
    EXPECT_TRUE(dlg_.pnlAdvanced->isVisible()) << "a site with options shows them";

    struct TRefusal {
        const char* Name;
        const char* Watch;
        const char* Ignore;
        const char* Says;
        QLineEdit* Focus;
    };
    const TRefusal refusals[] = {
        {"Shop", "li:first-child", "", "at position 3: \":first-child\" is not understood", dlg_.edtWatch},
        {"Shop", "a + b", "", "at position 3: \"+\"", dlg_.edtWatch},
        {"Shop", "", "price (\\d+", "missing closing parenthesis at offset 10", dlg_.edtIgnore},
        {"Shop [1]", "#price", "", "holds \"]\"", dlg_.edtSiteName},
    };
    for (const TRefusal& r : refusals) {
        boxes_.Boxes.clear();
        dlg_.edtWatch->setText(r.Watch);
        dlg_.edtIgnore->setText(r.Ignore);
        EXPECT_FALSE(PressOK(r.Name, "http://shop.example/")) << r.Says;
        ASSERT_EQ(boxes_.Boxes.size(), 1u) << r.Says;
        EXPECT_NE(boxes_.Boxes[0].Text.find(r.Says), std::string::npos) << boxes_.Boxes[0].Text;
        EXPECT_TRUE(r.Focus->hasFocus()) << r.Says;
    }
    // A name with "]" is fine without options.
    dlg_.edtWatch->clear();
    dlg_.edtIgnore->clear();
    EXPECT_TRUE(PressOK("Shop [1]", "http://shop.example/"));
    Show();
    dlg_.edtWatch->setText("  .price, #total > b  ");
    dlg_.edtIgnore->setText("(?i)served at \\d+");
    EXPECT_TRUE(PressOK("Shop", "http://shop.example/"));
    EXPECT_EQ(dlg_.GetSiteOptions(), (TSiteOptions{".price, #total > b", "(?i)served at \\d+"}));
}

TEST_F(EditSite, TestFetchesThePageAndShowsWhatTheMeasureSees)
{
    TLoopbackHttpServer http;
    std::string page = "<html><body><p>Served at 10:02</p>";
    for (int i = 0; i < 3; ++i)
        page += "<span class=\"price\">" + std::to_string(10 + i) + "</span>";
    page += "<div class=long>" + std::string(5000, 'x') + "</div></body></html>";
    http.SetPage("/shop", page);
    OpenFor("Shop", QString::fromStdString(http.Url("/shop")), ThresholdDefault);
    dlg_.SetSiteOptions({".price", ""});
    QTest::mouseClick(dlg_.btnTestWatch, Qt::LeftButton);
    EXPECT_EQ(dlg_.lblWatchCount->text(), "3 elements matched.");
    EXPECT_EQ(dlg_.memWatchPreview->toPlainText(),
              "<span class=\"price\">10</span>\n<span class=\"price\">11</span>\n<span class=\"price\">12</span>\n");

    dlg_.edtWatch->clear();
    dlg_.edtIgnore->setText("Served at \\d+:\\d+");
    QTest::mouseClick(dlg_.btnTestWatch, Qt::LeftButton);
    EXPECT_EQ(dlg_.lblWatchCount->text(), "The whole page is compared.");
    EXPECT_EQ(dlg_.memWatchPreview->toPlainText().size(), TdlgEditSite::PreviewCharacters);
    EXPECT_TRUE(dlg_.memWatchPreview->toPlainText().startsWith("<html><body><p></p><span"));

    dlg_.edtWatch->setText("#missing");
    QTest::mouseClick(dlg_.btnTestWatch, Qt::LeftButton);
    EXPECT_EQ(dlg_.lblWatchCount->text(), "Nothing on the page matches the watched part.");
    EXPECT_TRUE(dlg_.memWatchPreview->toPlainText().isEmpty());

    dlg_.edtSiteURL->setText("http://127.0.0.1:1/");
    QTest::mouseClick(dlg_.btnTestWatch, Qt::LeftButton);
    EXPECT_EQ(dlg_.lblWatchCount->text(), "The page could not be fetched.");
    EXPECT_TRUE(boxes_.Boxes.empty());
    EXPECT_TRUE(dlg_.isVisible());
}

TEST_F(EditSite, AccessKeysReachEveryFieldEnterIsOkAndEscapeCancel)
{
    OpenFor("News", "http://news.example/", 300);
    dlg_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg_));
    QSet<QChar> keys;
    for (QAbstractButton* b : dlg_.findChildren<QAbstractButton*>()) {
        if (b == dlg_.btnOK || b == dlg_.btnCancel || b->objectName().startsWith("qt_"))
            continue;
        const QChar key = AccessKey(b->text());
        EXPECT_FALSE(key.isNull()) << b->objectName().toStdString();
        EXPECT_FALSE(keys.contains(key)) << b->objectName().toStdString();
        keys.insert(key);
    }
    for (QLabel* l : dlg_.findChildren<QLabel*>()) {
        if (!l->buddy())
            continue;
        const QChar key = AccessKey(l->text());
        EXPECT_FALSE(key.isNull()) << l->text().toStdString();
        EXPECT_FALSE(keys.contains(key)) << l->text().toStdString();
        keys.insert(key);
    }
    EXPECT_TRUE(dlg_.btnOK->isDefault());

    QTest::keyClick(&dlg_, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), dlg_.edtSiteURL);
    // A button's access key presses it as a short click does.
    QTest::keyClick(&dlg_, Qt::Key_D, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg_.rdbDefaultChangeVal->isChecked(); }, 2000));
    QTest::keyClick(&dlg_, Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg_.rdbCustomChangeVal->isChecked(); }, 2000));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(dlg_.isVisible());
    EXPECT_EQ(dlg_.result(), QDialog::Rejected);

    OpenFor("News", "http://news.example/", 300);
    dlg_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg_));
    QTest::keyClick(&dlg_, Qt::Key_N, Qt::AltModifier);
    ASSERT_EQ(QApplication::focusWidget(), dlg_.edtSiteName);
    QTest::keyClick(dlg_.edtSiteName, Qt::Key_Return);
    EXPECT_FALSE(dlg_.isVisible());
    EXPECT_EQ(dlg_.result(), QDialog::Accepted);
}
