#pragma once

#include <QByteArray>
#include <QString>

// The text bytes (code page 936) that a display-text payload carries. A text byte of 0x80 or
// more travels as two nibble bytes (0x08..0x0F, then 0x00..0x0F), any other byte as itself,
// so the split is not always unique: a line break CR LF (0D 0A) also reads as the nibble pair
// of 0xDA. The reading chosen is the one that makes the most plausible text: plain ASCII, tab
// and the line break CR LF first (the tool's text boxes break lines as CR LF), then
// double-byte characters of four nibbles, then CR or LF alone, then double-byte characters
// whose second byte is 0x40..0x7E (three bytes), then lone bytes of 0x80 or more, other
// control bytes last. A double-byte character whose four nibbles read as tabs and CR LF
// pairs (09, 0D 0A) is taken for those.
QByteArray TextBytesFromCarried(const QByteArray &carried);

// The text itself: TextBytesFromCarried decoded from code page 936.
QString TextFromCarried(const QByteArray &carried);

// Code page 936 both ways: Qt's GBK codec where Qt has one (with ICU); a Qt for Windows without
// ICU has none, and there Windows's own code page 936 converts.
QString DecodeCodePage936(const QByteArray &bytes);
QByteArray EncodeCodePage936(const QString &text);
