#pragma once

#include "virtualcard/framereader.h"

#include <QByteArray>
#include <QString>

#include <vector>

// One control card as the line sees it.
struct CardState {
    int address = 1;
    int rows = 1;
    int charsPerRow = 4;
    int polarityFlags = 0; // bit 0 data polarity forward, bit 4 OE polarity forward
    int scanMode = 0;      // 0 half screen, 1 full screen
    QString initialText;   // shown at power-on and after a restart
    QString displayText;   // shown from a display-text frame until the next restart
    bool showsDisplayText = false;

    const QString &shownText() const { return showsDisplayText ? displayText : initialText; }
};

// What one received frame did.
struct FrameReport {
    QByteArray raw;
    QString meaning;          // one line, e.g. "restart card 1"
    std::vector<int> changed; // indices of the cards the frame reached
    int answering = -1;       // restart: index of the card that answers, -1 for none
    QByteArray reply;         // what that card sends back
};

// The cards on one line, without any I/O: frames go in, reports and replies come out.
class CardBank {
  public:
    // One card for each address, with the power-on settings. Addresses are 0..255.
    explicit CardBank(const std::vector<int> &addresses);

    const std::vector<CardState> &cards() const { return cards_; }

    FrameReport apply(const ReceivedFrame &frame);

    // The answer to a restart: present address, rows, characters per row, polarity flags
    // and scan mode, each 16..127 as one byte, any other value as high then low nibble.
    static QByteArray EncodeReply(const CardState &card);

    // One line with everything the card holds, for scripts: card 1: rows 1 chars 4 ...
    static QString describe(const CardState &card);

    // Printable form of a text: quotes around it, control characters escaped.
    static QString quoted(const QString &text);

    // Bytes in hexadecimal, upper case, separated by blanks.
    static QString hex(const QByteArray &bytes);

  private:
    std::vector<int> addressed(int address) const;
    QString whom(int address) const;
    // What a frame the cards ignore is: noise, a broken frame or an unknown letter.
    QString ignored(const ReceivedFrame &frame) const;
    // Each fills in the meaning and changes the cards in report.changed.
    void restart(const ReceivedFrame &frame, FrameReport &report);
    void modifySettings(const ReceivedFrame &frame, FrameReport &report);
    void storeText(const ReceivedFrame &frame, FrameReport &report);

    std::vector<CardState> cards_;
};
