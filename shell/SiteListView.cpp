#include "shell/SiteListView.h"

#include "platform/Utilities.h"
#include "shell/QtText.h"
#include "shell/ShortenText.h"

#include <QApplication>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>

TSiteListModel::TSiteListModel(TSiteList& sites, QObject* parent)
    : QAbstractListModel(parent), sites_(sites), shownCount_(sites.Count())
{
    sites_.OnChange = [this] { ListChanged(); };
}

void TSiteListModel::ListChanged()
{
    // A tick given through this model is announced by setData itself.
    if (ticking_)
        return;
    if (batch_ > 0) {
        batchChanged_ = true;
        return;
    }
    // The list does not say what changed. With as many rows as before, the
    // rows keep their places (and the view its current row); otherwise the
    // view starts afresh.
    if (sites_.Count() == shownCount_) {
        if (shownCount_ > 0)
            emit dataChanged(index(0), index(shownCount_ - 1));
        return;
    }
    beginResetModel();
    shownCount_ = sites_.Count();
    endResetModel();
}

void TSiteListModel::EndBatch()
{
    if (batch_ > 0 && --batch_ == 0 && batchChanged_) {
        batchChanged_ = false;
        beginResetModel();
        shownCount_ = sites_.Count();
        endResetModel();
    }
}

TSiteListModel::~TSiteListModel()
{
    sites_.OnChange = nullptr;
}

int TSiteListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : shownCount_;
}

QVariant TSiteListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= sites_.Count() || index.row() >= shownCount_)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return QtText(sites_.Entry(index.row()));
    case Qt::CheckStateRole:
        return sites_.Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
    default:
        return {};
    }
}

bool TSiteListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || index.row() >= sites_.Count() || role != Qt::CheckStateRole)
        return false;
    ticking_ = true;
    sites_.SetChecked(index.row(), value.toInt() == Qt::Checked);
    ticking_ = false;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags TSiteListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

QRect TSiteRowDelegate::CheckRect(const QRect& row)
{
    return QRect(row.left() + 2, row.top() + (row.height() - 13) / 2, 13, 13);
}

QRect TSiteRowDelegate::TextRect(const QRect& row)
{
    return row.adjusted(17, 0, 0, 0);
}

QString TSiteRowDelegate::DateText(const QString& name, bool ticked) const
{
    if (!ticked || !ShowDates || !ShowDates() || !PagePath)
        return {};
    const std::string path = PagePath(EngineText(name));
    if (!QFileInfo::exists(QtText(path)))
        return QStringLiteral("Never Delivered");
    return QtText(DateTimeText(FileDateOf(path)));
}

QString TSiteRowDelegate::NameText(const QFontMetrics& metrics, const QString& name, int rowWidth,
                                   bool withDate) const
{
    return ShortenText(metrics, name, withDate ? NameWidthWithDate : rowWidth - TextIndent);
}

void TSiteRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (ownerDraw_) {
        try {
            PaintRow(painter, option, index);
            return;
        } catch (...) {
            ownerDraw_ = false;
        }
    }
    QStyledItemDelegate::paint(painter, option, index);
}

void TSiteRowDelegate::PaintRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    const bool ticked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    const bool enabled = option.state & QStyle::State_Enabled;
    const bool selected = option.state & QStyle::State_Selected;

    QStyleOptionViewItem check(option);
    check.rect = CheckRect(option.rect);
    check.state = check.state & ~QStyle::State_HasFocus;
    check.state |= ticked ? QStyle::State_On : QStyle::State_Off;
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

    const QRect row = TextRect(option.rect);
    const QPalette& palette = option.palette;
    QColor background = palette.color(QPalette::Base);
    QColor text = palette.color(QPalette::Text);
    if (!enabled) {
        background = palette.color(QPalette::Window);
        text = palette.color(QPalette::Disabled, QPalette::Text);
    } else if (selected) {
        background = palette.color(QPalette::Highlight);
        text = palette.color(QPalette::HighlightedText);
    }
    painter->save();
    painter->fillRect(row, background);
    painter->setFont(option.font);
    painter->setPen(text);

    const QString name = QtText(SiteNameOf(EngineText(index.data().toString())));
    const QString date = DateText(name, ticked);
    const QFontMetrics metrics(option.font);
    const int top = row.top() + (row.height() - metrics.height()) / 2;
    const int baseline = top + metrics.ascent();
    const bool marked = HasOptions && HasOptions(EngineText(name));
    painter->drawText(row.left() + TextIndent, baseline,
                      NameText(metrics, name, row.width() - (marked ? MarkWidth : 0), !date.isEmpty()));
    if (marked) {
        // A small target: this site watches only part of its page.
        const QRect mark = MarkRect(row);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(text, 1.2));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(QRectF(mark).adjusted(0.5, 0.5, -0.5, -0.5));
        painter->setBrush(text);
        painter->drawEllipse(QRectF(mark).adjusted(3, 3, -3, -3));
        painter->restore();
    }
    if (!date.isEmpty())
        painter->drawText(row.left() + DateLeft, baseline, date);
    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.rect = row;
        focus.backgroundColor = background;
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    painter->restore();
}

QRect TSiteRowDelegate::MarkRect(const QRect& textRect)
{
    const int size = 9;
    return QRect(textRect.right() - MarkWidth + 1, textRect.top() + (textRect.height() - size) / 2, size, size);
}

QSize TSiteRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (!ownerDraw_)
        return QStyledItemDelegate::sizeHint(option, index);
    return QSize(option.rect.width() > 0 ? option.rect.width() : 100, RowHeight);
}

bool TSiteRowDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                   const QModelIndex& index)
{
    if (!ownerDraw_)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    if (!(index.flags() & Qt::ItemIsUserCheckable) || !(option.state & QStyle::State_Enabled))
        return false;
    const auto toggle = [&] {
        const bool ticked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        return model->setData(index, ticked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    };
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        // Presses on the box are taken here so that a double click on it
        // does not also open the editor.
        const auto* mouse = static_cast<QMouseEvent*>(event);
        return mouse->button() == Qt::LeftButton && CheckRect(option.rect).adjusted(-2, -2, 2, 2).contains(mouse->position().toPoint());
    }
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton
            || !CheckRect(option.rect).adjusted(-2, -2, 2, 2).contains(mouse->position().toPoint()))
            return false;
        return toggle();
    }
    case QEvent::KeyPress: {
        const auto key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Space && key != Qt::Key_Select)
            return false;
        return toggle();
    }
    default:
        return false;
    }
}
