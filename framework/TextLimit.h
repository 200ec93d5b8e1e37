#pragma once

class QPlainTextEdit;

// Limits a text box to maxBytes bytes of its text as it will be sent: encoded in the local 8-bit
// encoding, line breaks as CR LF. Typing or pasting stops where the next character would not
// fit, and no character is ever split.
void LimitTextBytes(QPlainTextEdit* edit, int maxBytes);

class QString;
// Bytes that text takes on the wire.
int WireByteCount(const QString& text);
