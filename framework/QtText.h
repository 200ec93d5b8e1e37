#pragma once

#include "framework/CString.h"

#include <QString>

// The widget boundary: program text is Unicode kept as UTF-8, widgets take QString. A name of a
// file or a peer that is not UTF-8 shows with replacement characters, but is kept as its bytes.
inline QString ToQString(const CString& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline CString FromQString(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return CString(bytes.constData(), static_cast<size_t>(bytes.size()));
}
