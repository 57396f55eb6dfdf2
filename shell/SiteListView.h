#pragma once

// The check list of sites: a thin model over the engine's TSiteList (each
// row's check mark is the site's tick) and the delegate that draws the rows
// as the window wants them, 16 pixels high, with the delivered date.

#include "engine/SiteList.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QStyledItemDelegate>
#include <functional>

class TSiteListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TSiteListModel(TSiteList& sites, QObject* parent = nullptr);
    ~TSiteListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    TSiteList& Sites() { return sites_; }

    // Many changes in a row (a load) announced once at the end.
    void BeginBatch() { ++batch_; }
    void EndBatch();

private:
    void ListChanged();

    TSiteList& sites_;
    bool ticking_ = false;
    int batch_ = 0;
    bool batchChanged_ = false;
    int shownCount_ = 0;
};

class TSiteRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int RowHeight = 16;
    static constexpr int TextIndent = 4;
    static constexpr int DateLeft = 190;
    static constexpr int NameWidthWithDate = 182;

    explicit TSiteRowDelegate(QObject* parent = nullptr) : QStyledItemDelegate(parent) {}

    // Whether the delivered dates are asked for ("Show delivered dates").
    std::function<bool()> ShowDates;
    // Where a site's stored page is.
    std::function<std::string(const std::string& name)> PagePath;
    // Whether a site watches only part of its page or ignores text: its row
    // shows a small mark at the right.
    std::function<bool(const std::string& name)> HasOptions;
    static constexpr int MarkWidth = 12;
    // Where a row's mark is drawn.
    static QRect MarkRect(const QRect& textRect);

    // The date text of a row: the stored page's date, "Never Delivered", or
    // nothing (dates not shown, or the row not ticked).
    QString DateText(const QString& name, bool ticked) const;
    // The name as it is drawn in a row of that width.
    QString NameText(const QFontMetrics& metrics, const QString& name, int rowWidth, bool withDate) const;

    // False once drawing a row has failed: the list then shows plain rows.
    bool OwnerDraw() const { return ownerDraw_; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    // The check box at the left of a row, and the rest of it.
    static QRect CheckRect(const QRect& row);
    static QRect TextRect(const QRect& row);

private:
    void PaintRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    mutable bool ownerDraw_ = true;
};
