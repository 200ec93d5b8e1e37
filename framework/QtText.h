#pragma once

#include "framework/CString.h"

#include <QString>

// The widget boundary: program text is bytes of the local 8-bit encoding, widgets take QString.
inline QString ToQString(const CString& text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline CString FromQString(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    return CString(bytes.constData(), static_cast<size_t>(bytes.size()));
}
