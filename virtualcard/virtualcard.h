#pragma once

#include "virtualcard/cardbank.h"
#include "virtualcard/framereader.h"

#include <QObject>

#include <chrono>

class CardLine;

// The cards at work on a line: takes what the line receives, applies each frame to the
// cards, and sends the restart answer a moment later, as a card does once it is up again.
class VirtualCard : public QObject {
    Q_OBJECT
  public:
    // How long a card takes to answer a restart; the tool reads the answer 500 ms after its
    // frame, and the card must answer within 100 ms.
    static constexpr std::chrono::milliseconds kReplyDelay{10};

    VirtualCard(CardLine &line, const std::vector<int> &addresses, QObject *parent = nullptr);

    const CardBank &bank() const { return bank_; }

  signals:
    void frameHandled(const FrameReport &report);
    void replySent(int card, const QByteArray &reply);

  private:
    void receive(const QByteArray &bytes);

    CardLine &line_;
    FrameReader reader_;
    CardBank bank_;
};
