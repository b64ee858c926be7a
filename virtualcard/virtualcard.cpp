#include "virtualcard/virtualcard.h"

#include "virtualcard/cardline.h"

#include <QTimer>

VirtualCard::VirtualCard(CardLine &line, const std::vector<int> &addresses, QObject *parent)
    : QObject(parent), line_(line), bank_(addresses) {
    connect(&line_, &CardLine::received, this, &VirtualCard::receive);
}

void VirtualCard::receive(const QByteArray &bytes) {
    for (const ReceivedFrame &frame : reader_.feed(bytes)) {
        const FrameReport report = bank_.apply(frame);
        emit frameHandled(report);
        if (report.answering >= 0) {
            QTimer::singleShot(kReplyDelay, this,
                               [this, card = report.answering, reply = report.reply] {
                                   line_.write(reply);
                                   emit replySent(card, reply);
                               });
        }
    }
}
