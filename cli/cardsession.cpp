#include "cli/cardsession.h"

#include "protocol/frame.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

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

std::chrono::milliseconds lineTime(qint64 bytes) {
    return std::chrono::milliseconds(kCardLine.timeMs(bytes));
}

// The sessions that hold descriptors now, and the opens that wait for one of them to let go.
int linesHeld = 0;
std::vector<std::pair<const CardSession *, std::coroutine_handle<>>> awaitingRelease;

struct LineReleased {
    const CardSession *session;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting) const {
        awaitingRelease.emplace_back(session, awaiting);
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

int CardSession::fail(int code, const QString &error) {
    error_ = error;
    return code;
}

int CardSession::cutShortBy() {
    const Frame frame = frame_.value_or(Frame{});
    return fail(kExitInterrupted, msg::cli::interrupted(frame.bytes, frame.left));
}

Task<int> CardSession::open() {
    if (port_.setCommPort(choice_.number) != CommResult::Ok)
        co_return fail(kExitPort, msg::kOpenFailed);
    for (;;) {
        if (stopped())
            co_return cutShortBy();
        bool outOfDescriptors = false;
        const int code = co_await openOnce(&outOfDescriptors);
        // Another line letting go frees what this one needs; with none open, nothing will.
        if (!outOfDescriptors || linesHeld == 0 || stopped())
            co_return code;
        co_await LineReleased{this};
    }
}

Task<int> CardSession::openOnce(bool *outOfDescriptors) {
    // A valid line string, which a closed port always takes.
    (void)port_.setSettings(kCardLine.text());
    holdDescriptors(true);
    LineStep step = LineStep::Failed;
    if (port_.beginOpen() == CommResult::Ok)
        while ((step = port_.openStep()) == LineStep::Pending) {
            if (stopped())
                co_return interrupted();
            co_await NextActivity{port_, card_, cutShort_};
        }
    if (step != LineStep::Done) {
        holdDescriptors(false);
        const OpenError &error = port_.openError();
        *outOfDescriptors = error.kind == OpenError::TooManyFiles;
        const QString details = msg::openFailureDetails(choice_.number, error);
        // The busy-or-absent text is a local port's; it would mislead about a network line, or
        // a port that did not open for want of descriptors.
        const bool portText =
            error.kind != OpenError::TooManyFiles && KindOfPort(error.device) == LineKind::Local;
        co_return fail(kExitPort, portText ? msg::kOpenFailed + u'\n' + details : details);
    }
    network_ = port_.roundTrip().has_value();
    co_return kExitDone;
}

Task<int> CardSession::close() {
    card_.cancelReply();
    port_.beginClose();
    while (port_.closeStep() == LineStep::Pending) {
        if (stop_ == Stop::Cut) {
            port_.abort();
            break;
        }
        co_await NextActivity{port_, card_, cutShort_};
    }
    holdDescriptors(false);
    co_return kExitDone;
}

CardSession::~CardSession() {
    std::erase_if(awaitingRelease, [this](const auto &w) { return w.first == this; });
    holdDescriptors(false);
}

void CardSession::holdDescriptors(bool hold) {
    if (hold == holding_)
        return;
    holding_ = hold;
    if (hold) {
        ++linesHeld;
        return;
    }
    --linesHeld;
    // On the next turn: the line is let go by then, also when this comes from its destructor.
    for (const auto &[session, waiting] : std::exchange(awaitingRelease, {}))
        QTimer::singleShot(0, [waiting] { waiting.resume(); });
}

void CardSession::stop(std::chrono::milliseconds grace) {
    if (stopped())
        return;
    stop_ = Stop::Cut;
    if (frameUnderWay_ && frame_) {
        const qint64 unsent = frame_->bytes - frameLeft();
        std::chrono::milliseconds remaining = lineTime(unsent);
        if (network_) {
            // The server's line carries the frame after the connection brought it.
            const auto roundTrip = port_.roundTrip().value_or(std::chrono::milliseconds(0));
            const auto carried = lineTime(frame_->bytes) + roundTrip / 2 -
                                 std::chrono::milliseconds(frameWritten_.elapsed());
            remaining = std::max(remaining + roundTrip, carried);
        }
        if (remaining < grace)
            stop_ = Stop::FinishFrame;
    }
    const auto waiting = std::find_if(awaitingRelease.begin(), awaitingRelease.end(),
                                      [this](const auto &w) { return w.first == this; });
    if (waiting != awaitingRelease.end()) {
        const std::coroutine_handle<> handle = waiting->second;
        awaitingRelease.erase(waiting);
        QTimer::singleShot(0, [handle] { handle.resume(); });
    }
    // The wait under way looks at the stop now, not at its next activity.
    if (cutShort_)
        cutShort_();
}

void CardSession::cut() {
    stop(std::chrono::milliseconds(0));
    stop_ = Stop::Cut;
    if (cutShort_)
        cutShort_();
}

int CardSession::interrupted() {
    if (frameUnderWay_ && frame_)
        frame_->left = frameLeft();
    frameUnderWay_ = false;
    card_.cancelReply();
    port_.abort();
    holdDescriptors(false);
    return cutShortBy();
}

qint64 CardSession::frameLeft() const {
    if (!frame_)
        return 0;
    if (!port_.portOpen())
        return std::min(port_.acknowledgedOfLastFrame().value_or(0), frame_->bytes);
    return std::clamp<qint64>(frame_->bytes - port_.unsentBytes(), 0, frame_->bytes);
}

Task<bool> CardSession::drained() {
    port_.beginDrain();
    LineStep step;
    while ((step = port_.drainStep()) == LineStep::Pending && stop_ != Stop::Cut)
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
        if (stop_ == Stop::Cut)
            co_return interrupted();
        if (deadline.hasExpired())
            co_return fail(kExitPort, msg::cli::drainTimedOut(drainDeadline(total).count(), total));
        co_await NextActivity{port_, card_, cutShort_, deadline};
        if (progress_)
            progress_(std::max<qint64>(0, total - port_.unsentBytes()), total);
    }
    const bool whole = co_await drained();
    if (stop_ == Stop::Cut)
        co_return interrupted();
    frameUnderWay_ = false;
    if (!whole)
        co_return fail(kExitPort, lostFrame(total));
    frame_->left = total;
    if (progress_)
        progress_(total, total);
    co_return kExitDone;
}

void CardSession::written(const CommandOutcome &outcome) {
    if (outcome.status != CommandOutcome::Sent)
        return;
    frame_ = Frame{static_cast<qint64>(outcome.frame.size()), 0};
    frameUnderWay_ = true;
    frameWritten_.start();
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
    if (stopped())
        co_return cutShortBy();
    const CommandOutcome outcome = card_.restart(address);
    written(outcome);
    if (outcome.status != CommandOutcome::Sent)
        co_return co_await sent(outcome);
    // Over a network the frame must have reached the server before a silence means anything;
    // the reply timer runs meanwhile.
    if (network_) {
        const bool whole = co_await drained();
        if (stop_ == Stop::Cut)
            co_return interrupted();
        if (!whole) {
            card_.cancelReply();
            co_return fail(kExitPort, lostFrame(static_cast<qint64>(outcome.frame.size())));
        }
    }
    // A local port's driver takes a frame this short at once.
    frame_->left = frame_->bytes;
    frameUnderWay_ = false;
    while (card_.replyPending() && port_.portOpen() && !stopped())
        co_await NextActivity{port_, card_, cutShort_};
    if (stopped())
        co_return interrupted();
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
    if (stopped())
        co_return cutShortBy();
    const CommandOutcome outcome = card_.modifySettings(address, v);
    written(outcome);
    co_return co_await sent(outcome);
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
    if (stopped())
        co_return cutShortBy();
    const CommandOutcome outcome = card_.sendText(address, which, WithCardLineBreaks(text));
    written(outcome);
    if (const int code = co_await sent(outcome); code != kExitDone)
        co_return code;
    sentText->caption = msg::textCaption(which, QString::number(address), outcome.textBytes);
    sentText->textBytes = outcome.textBytes;
    sentText->frameBytes = static_cast<qint64>(outcome.frame.size());
    co_return kExitDone;
}
