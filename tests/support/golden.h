#pragma once

#include "protocol/frame.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// The worked examples of the frames the tool sends, each with what it is made of, written
// down byte for byte. The frame builder, the window's commands over a pseudo-terminal and the
// virtual card are all held to the same bytes.

struct GoldenSettings {
    const char *name;
    int address;
    SettingsValues values;
    QByteArray frame;
};

struct GoldenRestart {
    const char *name;
    int address;
    QByteArray frame;
};

struct GoldenText {
    const char *name;
    int address;
    std::uint8_t letter; // kLetterInitialText or kLetterDisplayText
    QString text;        // as the command reads it from its box: line breaks as CR LF
    QByteArray frame;
    int textUnits; // UTF-16 code units of the text
    int textBytes; // code page 936 bytes, the count on the button
};

const std::vector<GoldenSettings> &goldenSettings();
const std::vector<GoldenRestart> &goldenRestarts();
const std::vector<GoldenText> &goldenTexts();

// The frame of the golden example with this name, of any kind; empty when there is none.
QByteArray golden(const char *name);

// The frame as the virtual card prints it: hexadecimal bytes in capitals, one blank apart.
QString cardHex(const QByteArray &frame);

// The frame that Command1, Command2, Command6 or Command7 sends after setKnownInputs
// (recordingform.h).
QByteArray knownFrame(int command);
