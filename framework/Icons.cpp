#include "framework/Icons.h"

QIcon LoadIcon(const char* name)
{
    const QString base = QStringLiteral(":/icons/") + QLatin1String(name);
    QIcon icon;
    icon.addFile(base + QStringLiteral("-16.png"), QSize(16, 16));
    icon.addFile(base + QStringLiteral("-32.png"), QSize(32, 32));
    icon.addFile(base + QStringLiteral(".svg"), QSize(64, 64));
    return icon;
}
