#include "framework/Icons.h"

QIcon LoadIcon(const char* name)
{
    const QString base = QStringLiteral(":/icons/") + QLatin1String(name);
    QIcon icon;
    icon.addFile(base + QStringLiteral("-16.png"), QSize(16, 16));
    icon.addFile(base + QStringLiteral("-32.png"), QSize(32, 32));
    // Larger sizes, which a scaled screen asks for even for small icons, are each drawn from the
    // SVG: a bitmap scaled up blurs.
    const QIcon drawing(base + QStringLiteral(".svg"));
    for (const int size : {48, 64, 96, 128, 256}) {
        icon.addPixmap(drawing.pixmap(QSize(size, size), 1.0));
    }
    return icon;
}
