#pragma once

// The one crossing between the window's text and the engine's: the engine
// keeps bytes, the window Unicode, and the bytes are UTF-8 both ways, so a
// name typed in the editor is the name the list, the tray menu, the log and
// the files all show. The whole byte string crosses, a zero byte included.

#include <QString>
#include <string>

inline QString QtText(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string EngineText(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
