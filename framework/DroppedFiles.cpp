#include "framework/DroppedFiles.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

std::optional<std::vector<CString>> LocalFilesOf(const QMimeData* data)
{
    static const QString URI_LIST = QStringLiteral("text/uri-list");
    if (!data || !data->hasFormat(URI_LIST)) {
        return std::nullopt;
    }
    // Read here rather than through QMimeData::urls(), which takes comment lines for addresses
    // and gives paths as text.
    std::vector<CString> paths;
    for (QByteArray line : data->data(URI_LIST).split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        const QString host = url.host();
        // A '#' or '?' left unescaped in a file name would otherwise cut the name short there and
        // name another file; an escaped '/' would split one name in two.
        if (!url.isValid() || url.scheme() != QLatin1String("file")
            || !(host.isEmpty() || host == QLatin1String("localhost")) || url.hasQuery()
            || url.hasFragment()) {
            return std::nullopt;
        }
        const QByteArray encoded = url.path(QUrl::FullyEncoded).toLatin1();
        const QByteArray path = QByteArray::fromPercentEncoding(encoded);
        if (!path.startsWith('/') || path.contains('\0') || encoded.toLower().contains("%2f")) {
            return std::nullopt;
        }
        paths.emplace_back(path.constData(), static_cast<size_t>(path.size()));
    }
    if (paths.empty()) {
        return std::nullopt;
    }
    return paths;
}

bool AnswerDrag(QDropEvent* event, bool wanted)
{
    if (!wanted || !event->possibleActions().testFlag(Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}
