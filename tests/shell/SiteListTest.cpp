// The site rows: the date text, the shortening of names, and a list of two
// thousand sites shown through the model without a widget per row.

#include "platform/Utilities.h"
#include "shell/LinkLabel.h"
#include "shell/ShortenText.h"
#include "shell/SiteListView.h"
#include "tests/shell/WindowFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QTest>

namespace {

using SiteRows = WindowFixture;

TEST(ShortenTextTest, FittingTextIsKeptAndLongTextEndsInDotsWithoutTrailingPunctuation)
{
    const QFont font = QApplication::font();
    const QFontMetrics m(font);
    EXPECT_EQ(ShortenText(m, "Short", 182), "Short");
    const QString exact = "Exactly this wide";
    EXPECT_EQ(ShortenText(m, exact, m.horizontalAdvance(exact)), exact) << "no dots when it fits";

    const QString longName = "A rather long site name that cannot possibly fit into the narrow row";
    const QString cut = ShortenText(m, longName, 182);
    EXPECT_TRUE(cut.endsWith("..."));
    EXPECT_LE(m.horizontalAdvance(cut), 182);
    EXPECT_TRUE(longName.startsWith(cut.chopped(3)));
    // One more character would not have fitted.
    const QString longer = longName.left(cut.size() - 3 + 1) + "...";
    EXPECT_GT(m.horizontalAdvance(longer), 182);

    // A cut that falls just after a comma and a blank loses both.
    const QString listed = "Alpha, Bravo Charlie";
    const int width = m.horizontalAdvance("Alpha, ...");
    EXPECT_EQ(ShortenText(m, listed, width), "Alpha...");
    EXPECT_EQ(ShortenText(m, "News...., and more text here", m.horizontalAdvance("News....,...")), "News...");
    EXPECT_EQ(ShortenText(m, "Wide", 1), "...") << "nothing fits: the dots alone";
}

TEST_F(SiteRows, DateTextFollowsTheTickTheOptionAndTheStoredPage)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"Alpha", "http://a.example/", true},
                                               {"Beta", "http://b.example/", false}}));
    TfrmMain& f = Start();
    TSiteRowDelegate& rows = f.RowDelegate();
    f.chkDeliveredDates->setChecked(false);
    EXPECT_EQ(rows.DateText("Alpha", true), "");
    f.chkDeliveredDates->setChecked(true);
    EXPECT_EQ(rows.DateText("Alpha", true), "Never Delivered");
    EXPECT_EQ(rows.DateText("Beta", false), "") << "an unticked row never shows a date";

    WriteFile(StoredPagePath("Alpha"), "<html></html>");
    const QString expected = QString::fromStdString(DateTimeText(FileDateOf(StoredPagePath("Alpha"))));
    EXPECT_EQ(rows.DateText("Alpha", true), expected);
    // The page is found by name: a renamed site has not been delivered yet.
    EXPECT_EQ(rows.DateText("Alpha renamed", true), "Never Delivered");

    const QFontMetrics m(f.fbxSites->font());
    const QString name = "A site name much too long for the room left beside the delivered date";
    EXPECT_LE(m.horizontalAdvance(rows.NameText(m, name, 300, true)), TSiteRowDelegate::NameWidthWithDate);
    EXPECT_EQ(rows.NameText(m, "Short", 300, true), "Short");
    const QString wide = rows.NameText(m, name, 300, false);
    EXPECT_LE(m.horizontalAdvance(wide), 300 - TSiteRowDelegate::TextIndent);
    EXPECT_GT(wide.size(), rows.NameText(m, name, 300, true).size());
}

TEST_F(SiteRows, RowsAreSixteenPixelsAndDrawTheDateAtItsColumn)
{
    WriteUserFiles(QuietSettings(), MakeSites({{"Alpha", "http://a.example/", true}}));
    TfrmMain& f = Start();
    f.chkDeliveredDates->setChecked(true);
    const QModelIndex first = f.fbxSites->model()->index(0, 0);
    EXPECT_EQ(f.fbxSites->visualRect(first).height(), TSiteRowDelegate::RowHeight);

    // Something is drawn at the date's column only when a date is shown.
    auto inkAtDateColumn = [&] {
        f.fbxSites->viewport()->update();
        QApplication::processEvents();
        const QImage image = f.fbxSites->viewport()->grab().toImage();
        const QRect row = TSiteRowDelegate::TextRect(f.fbxSites->visualRect(first));
        const QColor base = image.pixelColor(row.right() - 1, row.top() + 1);
        int ink = 0;
        for (int x = row.left() + TSiteRowDelegate::DateLeft; x < row.left() + TSiteRowDelegate::DateLeft + 40; ++x)
            for (int y = row.top(); y <= row.bottom(); ++y)
                ink += image.pixelColor(x, y) != base;
        return ink;
    };
    f.SetCurrentRow(-1);
    EXPECT_GT(inkAtDateColumn(), 0);
    f.chkDeliveredDates->setChecked(false);
    EXPECT_EQ(inkAtDateColumn(), 0);
    EXPECT_TRUE(f.RowDelegate().OwnerDraw());
}

TEST_F(SiteRows, TwoThousandSitesLoadIntoTheModelAndScroll)
{
    TSiteList many;
    for (int i = 0; i < 2000; ++i)
        many.Add(MakeSiteEntry("Site " + std::to_string(i), "http://s" + std::to_string(i) + ".example/", -2),
                 i % 3 == 0);
    WriteUserFiles(QuietSettings(), many);
    TfrmMain& f = Start();
    f.chkDeliveredDates->setChecked(true);
    ASSERT_EQ(f.fbxSites->model()->rowCount(), 2000);
    // The view holds no widget per row.
    EXPECT_LT(f.fbxSites->findChildren<QWidget*>().size(), 20);
    f.SetCurrentRow(1999);
    QApplication::processEvents();
    EXPECT_TRUE(f.fbxSites->viewport()->rect().intersects(
        f.fbxSites->visualRect(f.fbxSites->model()->index(1999, 0))));
    f.lnkNONE->setFocus();
    SetAllTicks(f.Sites(), false);
    EXPECT_EQ(f.CurrentRow(), 1999);
    EXPECT_EQ(f.fbxSites->model()->index(1999, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
}

} // namespace
