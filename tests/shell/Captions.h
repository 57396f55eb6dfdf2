#pragma once

// Captions as the user reads them: without the "&" that marks an access key
// ("&&" stands for one "&"), and the access key itself.

#include <QChar>
#include <QString>

inline QString Shown(const QString& caption)
{
    QString shown;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size())
            ++i;
        shown += caption[i];
    }
    return shown;
}

// The access key's letter in upper case, or a null character without one.
inline QChar AccessKey(const QString& caption)
{
    for (qsizetype i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&')
            continue;
        if (caption[i + 1] != '&')
            return caption[i + 1].toUpper();
        ++i;
    }
    return {};
}
