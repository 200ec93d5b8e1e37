#include "framework/TextLimit.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

int WireByteCount(const QString& text)
{
    const int breaks = static_cast<int>(text.count(QLatin1Char('\n')));
    return static_cast<int>(text.toLocal8Bit().size()) + breaks;
}

namespace {
// The longest prefix of inserted, in whole characters, that fits into room bytes.
QString FittingPrefix(const QString& inserted, int room)
{
    QString fitting;
    int used = 0;
    for (qsizetype i = 0; i < inserted.size();) {
        // A surrogate pair is one character.
        const qsizetype length = (inserted.at(i).isHighSurrogate() && i + 1 < inserted.size()) ? 2 : 1;
        const QString character = inserted.mid(i, length);
        const int bytes = WireByteCount(character);
        if (used + bytes > room) {
            break;
        }
        used += bytes;
        fitting += character;
        i += length;
    }
    return fitting;
}
} // namespace

void LimitTextBytes(QPlainTextEdit* edit, int maxBytes)
{
    QObject::connect(edit->document(), &QTextDocument::contentsChange, edit,
        [edit, maxBytes](int position, int, int added) {
            const QString text = edit->toPlainText();
            const int excess = WireByteCount(text) - maxBytes;
            if (excess <= 0 || added <= 0) {
                return;
            }
            const QString inserted = text.mid(position, added);
            const int room = WireByteCount(inserted) - excess;
            const QString kept = FittingPrefix(inserted, room);
            QTextCursor cursor(edit->document());
            cursor.setPosition(position);
            cursor.setPosition(position + static_cast<int>(inserted.size()), QTextCursor::KeepAnchor);
            // Replacing the insertion re-enters this handler with a text that fits.
            cursor.insertText(kept);
            edit->setTextCursor(cursor);
        });
}
