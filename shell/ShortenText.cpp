#include "shell/ShortenText.h"

#include <QFontMetrics>

QString ShortenText(const QFontMetrics& surface, const QString& text, int width)
{
    if (surface.horizontalAdvance(text) <= width)
        return text;
    const QString dots = QStringLiteral("...");
    // Halving the cut keeps a long name in a narrow row from costing one
    // measurement per character; the result is the longest prefix that fits.
    qsizetype low = 0, high = text.size();
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (surface.horizontalAdvance(text.left(mid) + dots) <= width)
            low = mid;
        else
            high = mid - 1;
    }
    QString cut = text.left(low);
    while (!cut.isEmpty() && (cut.back() == ' ' || cut.back() == ',' || cut.back() == '.'))
        cut.chop(1);
    return cut + dots;
}
