#include "cli/cardsession.h"

#include "protocol/frame.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// A wait whose wake-up went missing costs this long, not a hang: the line signals its own
// deadlines, the card its reply.
constexpr std::chrono::milliseconds kLookAnyway{1000};

// How long a frame may take to leave: twice its time on the line, and five seconds for a driver
// that is slow to start.
std::chrono::milliseconds drainDeadline(qint64 bytes) {
    return std::chrono::milliseconds(kCardLine.timeMs(bytes) * 2 + 5000);
}

// Suspends until something happens on the port's line, the card has read a reply, the wait is
// cut short or `until` has come, whichever is first; the coroutine goes on at the next turn of
// the event loop, outside the signal that woke it.
struct NextActivity {
    MSComm &port;
    CardCommands &card;
    std::function<void()> &cutShort; // set while suspended
    QDeadlineTimer until{kLookAnyway};
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting) const {
        struct Wait {
            bool fired = false;
            QMetaObject::Connection activity, reply;
            QTimer *timer = nullptr;
        };
        auto wait = std::make_shared<Wait>();
        std::function<void()> &slot = cutShort;
        auto resume = [wait, awaiting, &slot] {
            if (std::exchange(wait->fired, true))
                return;
            QObject::disconnect(wait->activity);
            QObject::disconnect(wait->reply);
            wait->timer->stop();
            wait->timer->deleteLater();
            slot = nullptr;
            awaiting.resume();
        };
        wait->activity =
            QObject::connect(&port, &MSComm::lineActivity, &port, resume, Qt::QueuedConnection);
        wait->reply =
            QObject::connect(&card, &CardCommands::replyRead, &port, resume, Qt::QueuedConnection);
        wait->timer = new QTimer(&port);
        wait->timer->setSingleShot(true);
        wait->timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(wait->timer, &QTimer::timeout, &port, resume);
        wait->timer->start(std::clamp<qint64>(until.remainingTime(), 0, kLookAnyway.count()));
        cutShort = [&p = port, resume] {
            QMetaObject::invokeMethod(&p, resume, Qt::QueuedConnection);
        };
    }
    void await_resume() const noexcept {}
};

PortMapping mappingOf(const PortChoice &choice) {
    if (choice.device.isEmpty())
        return portDevice;
    return [device = choice.device](int) { return PortTarget(device); };
}

} // namespace

bool SettingsChoice::needsReadBack(int address) const {
    return (!newAddress && address == kAddressBroadcast) || !rows || !chars || !dataForward ||
           !oeForward || !fullScreen;
}

CardSession::CardSession(const PortChoice &choice)
    : port_(mappingOf(choice)), choice_(choice), card_(port_) {
    QObject::connect(&card_, &CardCommands::replyRead, &card_,
                     [this](const std::optional<CardReply> &reply) { reply_ = reply; });
}

void CardSession::interrupt() {
    interrupted_ = true;
    if (cutShort_)
        cutShort_();
}

int CardSession::fail(int code, const QString &error) {
    error_ = error;
    return code;
}

Task<int> CardSession::open() {
    if (port_.setCommPort(choice_.number) != CommResult::Ok)
        co_return fail(kExitPort, msg::kOpenFailed);
    // A valid line string, which a closed port always takes.
    (void)port_.setSettings(kCardLine.text());
    LineStep step = LineStep::Failed;
    if (port_.beginOpen() == CommResult::Ok)
        while ((step = port_.openStep()) == LineStep::Pending)
            co_await NextActivity{port_, card_, cutShort_};
    if (step != LineStep::Done)
        co_return fail(kExitPort, msg::kOpenFailed + u'\n' +
                                      msg::openFailureDetails(choice_.number, port_.openError()));
    network_ = port_.roundTrip().has_value();
    co_return kExitDone;
}

Task<int> CardSession::close() {
    card_.cancelReply();
    port_.beginClose();
    while (port_.closeStep() == LineStep::Pending)
        co_await NextActivity{port_, card_, cutShort_};
    co_return kExitDone;
}

Task<bool> CardSession::drained() {
    port_.beginDrain();
    LineStep step;
    while ((step = port_.drainStep()) == LineStep::Pending)
        co_await NextActivity{port_, card_, cutShort_};
    co_return step == LineStep::Done;
}

// A command's outcome as an exit code; a sent frame is waited for until it has left the port,
// so that the program ends only when the card has it all.
Task<int> CardSession::sent(CommandOutcome outcome) {
    switch (outcome.status) {
    case CommandOutcome::PortClosed:
        co_return fail(kExitPort, msg::kPortNotOpen);
    case CommandOutcome::Refused:
        co_return fail(kExitRefused, msg::refusal(outcome.refusal));
    case CommandOutcome::Sent:
        break;
    }
    // Qt's queue first, a piece at a time as the driver takes it, then the driver's own.
    const auto total = static_cast<qint64>(outcome.frame.size());
    const QDeadlineTimer deadline(drainDeadline(total));
    while (port_.queuedBytes() > 0) {
        if (deadline.hasExpired())
            co_return fail(kExitPort, msg::cli::drainTimedOut(drainDeadline(total).count(), total));
        co_await NextActivity{port_, card_, cutShort_, deadline};
        if (progress_)
            progress_(std::max<qint64>(0, total - port_.unsentBytes()), total);
    }
    if (!co_await drained())
        co_return fail(kExitPort, lostFrame(total));
    if (progress_)
        progress_(total, total);
    co_return kExitDone;
}

QString CardSession::lostFrame(qint64 frameBytes) const {
    if (!network_)
        return msg::kPortNotOpen;
    // A network line tells how much of the frame its server took; a connection still up did not
    // take the rest in time.
    const qint64 taken = std::min(port_.acknowledgedOfLastFrame().value_or(0), frameBytes);
    return port_.portOpen() ? msg::frameNotTaken(taken, frameBytes)
                            : msg::lostDuringSend(taken, frameBytes);
}

Task<int> CardSession::restart(int address, CardReply *reply) {
    reply_.reset();
    const CommandOutcome outcome = card_.restart(address);
    if (outcome.status != CommandOutcome::Sent)
        co_return co_await sent(outcome);
    // Over a network the frame must have reached the server before a silence means anything;
    // the reply timer runs meanwhile.
    if (network_ && !co_await drained()) {
        card_.cancelReply();
        co_return fail(kExitPort, lostFrame(static_cast<qint64>(outcome.frame.size())));
    }
    interrupted_ = false;
    while (card_.replyPending() && port_.portOpen() && !interrupted_)
        co_await NextActivity{port_, card_, cutShort_};
    if (interrupted_)
        card_.cancelReply();
    if (!port_.portOpen()) {
        card_.cancelReply();
        co_return fail(kExitPort, network_ ? msg::kLostAwaitingReply : msg::kPortNotOpen);
    }
    if (!reply_)
        co_return fail(kExitNoReply, msg::cli::noReply(address));
    *reply = *reply_;
    co_return kExitDone;
}

Task<int> CardSession::modify(int address, SettingsChoice choice, SettingsValues *values) {
    SettingsValues v;
    v.newAddress = address;
    if (choice.needsReadBack(address)) {
        CardReply card;
        if (const int code = co_await restart(address, &card); code != kExitDone)
            co_return code == kExitNoReply ? fail(code, error_ + msg::cli::kSettingsNotModified)
                                           : code;
        v.newAddress = address == kAddressBroadcast ? card.values[0] : address;
        v.rows = card.values[1];
        v.charsPerRow = card.values[2];
        v.polarityFlags = EncodePolarityFlags(DecodePolarityFlags(card.values[3]));
        v.scanMode = DecodeScanMode(card.values[4]) == ScanMode::Full ? 1 : 0;
    }
    v.newAddress = choice.newAddress.value_or(v.newAddress);
    v.rows = choice.rows.value_or(v.rows);
    v.charsPerRow = choice.chars.value_or(v.charsPerRow);
    const Polarities card = DecodePolarityFlags(v.polarityFlags);
    v.polarityFlags = EncodePolarityFlags(
        {choice.dataForward.value_or(card.dataForward), choice.oeForward.value_or(card.oeForward)});
    if (choice.fullScreen)
        v.scanMode = *choice.fullScreen ? 1 : 0;
    *values = v;
    co_return co_await sent(card_.modifySettings(address, v));
}

Task<int> CardSession::modifyAndCheck(int address, SettingsChoice choice, Checked *checked) {
    SettingsValues sent;
    if (const int code = co_await modify(address, choice, &sent))
        co_return code;
    checked->sent = sent;
    CardReply card;
    if (const int code = co_await restart(sent.newAddress, &card))
        co_return code;
    checked->readBack = card;
    const QStringList differences = msg::readBackDifferences(sent, card);
    if (!differences.isEmpty())
        co_return fail(kExitDiffers, msg::cli::readBackDiffers(differences));
    co_return kExitDone;
}

Task<int> CardSession::sendText(DisplayText which, int address, QString text, SentText *sentText) {
    const CommandOutcome outcome = card_.sendText(address, which, WithCardLineBreaks(text));
    if (const int code = co_await sent(outcome); code != kExitDone)
        co_return code;
    sentText->caption = msg::textCaption(which, QString::number(address), outcome.textBytes);
    sentText->textBytes = outcome.textBytes;
    sentText->frameBytes = static_cast<qint64>(outcome.frame.size());
    co_return kExitDone;
}
