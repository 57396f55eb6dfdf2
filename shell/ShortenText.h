#pragma once

#include <QString>

class QFontMetrics;

// The text as it fits into width pixels: unchanged when it fits, otherwise cut
// at its end, with trailing blanks, commas and full stops removed, and "..."
// appended.
QString ShortenText(const QFontMetrics& surface, const QString& text, int width);
