#pragma once

#include "net/WireText.h"

#include <functional>

class QPlainTextEdit;
class QString;

// What the peer a window writes to is known to write, asked whenever the text changes.
using SpeechOf = std::function<WireSpeech()>;

// Limits a text box to maxBytes bytes of its text as it will be sent: written as the peer reads
// it (the code page, unless speechOf says UTF-8), line breaks as CR LF. Typing or pasting stops
// where the next character would not fit, and no character is ever split.
void LimitTextBytes(QPlainTextEdit* edit, int maxBytes, SpeechOf speechOf = {});

// Bytes that text takes on the wire.
int WireByteCount(const QString& text, WireSpeech speech = WireSpeech::CodePage);
