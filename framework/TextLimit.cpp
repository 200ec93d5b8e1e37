#include "framework/TextLimit.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

int WireByteCount(const QString& text, WireSpeech speech)
{
    const int breaks = static_cast<int>(text.count(QLatin1Char('\n')));
    const QByteArray utf8 = text.toUtf8();
    return static_cast<int>(
               WireLength(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), speech))
        + breaks;
}

namespace {
// The longest prefix of inserted, in whole characters, that fits into room bytes.
QString FittingPrefix(const QString& inserted, int room, WireSpeech speech)
{
    QString fitting;
    int used = 0;
    for (qsizetype i = 0; i < inserted.size();) {
        // A surrogate pair is one character.
        const qsizetype length = (inserted.at(i).isHighSurrogate() && i + 1 < inserted.size()) ? 2 : 1;
        const QString character = inserted.mid(i, length);
        const int bytes = WireByteCount(character, speech);
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

void LimitTextBytes(QPlainTextEdit* edit, int maxBytes, SpeechOf speechOf)
{
    QObject::connect(edit->document(), &QTextDocument::contentsChange, edit,
        [edit, maxBytes, speechOf = std::move(speechOf)](int position, int, int added) {
            const WireSpeech speech = speechOf ? speechOf() : WireSpeech::CodePage;
            const QString text = edit->toPlainText();
            const int excess = WireByteCount(text, speech) - maxBytes;
            if (excess <= 0 || added <= 0) {
                return;
            }
            const QString inserted = text.mid(position, added);
            const int room = WireByteCount(inserted, speech) - excess;
            const QString kept = FittingPrefix(inserted, room, speech);
            QTextCursor cursor(edit->document());
            cursor.setPosition(position);
            cursor.setPosition(position + static_cast<int>(inserted.size()), QTextCursor::KeepAnchor);
            // Replacing the insertion re-enters this handler with a text that fits.
            cursor.insertText(kept);
            edit->setTextCursor(cursor);
        });
}
