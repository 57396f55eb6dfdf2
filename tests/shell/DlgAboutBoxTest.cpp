#include "shell/DlgAboutBox.h"

#include "platform/Utilities.h"
#include "shell/LinkLabel.h"
#include "tests/shell/FakeShellServices.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

TEST(AboutBox, ShowsTheVersionWhenShown)
{
    TFakeShellServices services;
    TdlgAboutBox dlg(services);
    EXPECT_EQ(dlg.lblversion->text(), "Version ?");
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_EQ(dlg.lblversion->text().toStdString(), GetProductVersion());
    EXPECT_EQ(dlg.lblversion->text(), VENDREL_VERSION);
    EXPECT_TRUE(dlg.lblversion->font().bold());
    EXPECT_EQ(dlg.windowTitle(), "About Vendrel");
    EXPECT_EQ(dlg.size(), QSize(295, 153));
    EXPECT_EQ(dlg.btnClose->text(), "Close");
    EXPECT_EQ(dlg.btnClose->icon().cacheKey(), services.Image(5).cacheKey());
    EXPECT_EQ(dlg.lnkWebSite->text(), "quorvan.example");
}

TEST(AboutBox, NameIsDrawnEmbossed)
{
    TFakeShellServices services;
    TdlgAboutBox dlg(services);
    QPalette p = dlg.palette();
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::Dark, QColor(255, 0, 0));
    p.setColor(QPalette::WindowText, QColor(0, 0, 255));
    dlg.setPalette(p);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    // Above the labels, right of the picture, only the painted name lies.
    const QImage image = dlg.grab(QRect(80, 0, 215, 40)).toImage();
    int shadowOnly = 0, text = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.blue() < 60 && c.green() < 60)
                ++shadowOnly;
            else if (c.blue() > 200 && c.red() < 60 && c.green() < 60)
                ++text;
        }
    EXPECT_GT(text, 100);
    // The shadow shows only along the upper edges the lower copy leaves free.
    EXPECT_GT(shadowOnly, 10);
    EXPECT_LT(shadowOnly, text);
}

TEST(AboutBox, LinksOpenTheMakersSiteAndCloseCloses)
{
    TFakeShellServices services;
    TBoxRecorder boxes;
    TOpenedUrls opened({"https"});
    TdlgAboutBox dlg(services);
    QTimer::singleShot(0, &dlg, [&] {
        QTest::mouseClick(dlg.lnkWebSite, Qt::LeftButton);
        QTest::mouseClick(dlg.lnkSales, Qt::LeftButton);
        QTest::mouseClick(dlg.imgProgram, Qt::LeftButton);
        QTest::mouseClick(dlg.btnClose, Qt::LeftButton);
    });
    dlg.exec();
    EXPECT_FALSE(dlg.isVisible());
    ASSERT_EQ(opened.Urls.size(), 3);
    EXPECT_EQ(opened.Urls[0], QUrl("https://quorvan.example/"));
    EXPECT_EQ(opened.Urls[1], QUrl("https://quorvan.example/"));
    EXPECT_EQ(opened.Urls[2], QUrl("https://quorvan.example/other/"));
    EXPECT_TRUE(boxes.Boxes.empty());
}
