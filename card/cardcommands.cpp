#include "card/cardcommands.h"

#include <algorithm>

namespace {

// The preparations run on a line just found open, with values it always takes: they can only
// fail on a line lost since, and the write that follows then reports it.
void prepare(CommResult) {}

// How many of the last frames written an echo in front of a reply may come from.
constexpr std::size_t kEchoedFrames = 2;

bool isByte(int value) {
    return value >= 0 && value <= 255;
}

CommandOutcome refused(Refusal::Reason reason, CommandValue value) {
    CommandOutcome outcome;
    outcome.status = CommandOutcome::Refused;
    outcome.refusal = {reason, value};
    return outcome;
}

} // namespace

CardCommands::CardCommands(CommPort &line, QObject *parent) : QObject(parent), line_(line) {
    replyTimer_.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, and a card that answers at 480 ms would then
    // find its reply cut short; the reply is read no earlier than the delay promised.
    replyTimer_.setTimerType(Qt::PreciseTimer);
    connect(&replyTimer_, &QTimer::timeout, this, &CardCommands::tick);
    wholeReplyLook_.setInterval(kReplyLateStep);
    connect(&wholeReplyLook_, &QTimer::timeout, this, &CardCommands::lookForWholeReply);
}

void CardCommands::cancelReply() {
    replyTimer_.stop();
    wholeReplyLook_.stop();
}

void CardCommands::lookForWholeReply() {
    if (!replyTimer_.isActive()) {
        wholeReplyLook_.stop();
        return;
    }
    const auto waiting = line_.peekInput();
    if (waiting && IsWholeReply(withoutEcho(*waiting)))
        emit replyRead(readReply());
}

void CardCommands::tick() {
    if (!lateReplyLimit_.isForever() && !lateReplyLimit_.hasExpired()) {
        const auto waiting = line_.peekInput();
        if (waiting && !IsWholeReply(withoutEcho(*waiting))) {
            replyTimer_.start(kReplyLateStep);
            return;
        }
    }
    emit replyRead(readReply());
}

void CardCommands::preparePlain() {
    prepare(line_.setSThreshold(0));
    prepare(line_.setRThreshold(0));
    prepare(line_.setInBufferCount(0));
    prepare(line_.setOutBufferCount(0));
}

QByteArray CardCommands::withoutEcho(const QByteArray &received) const {
    return WithoutEcho(received, recentFrames_);
}

CommandOutcome CardCommands::write(Frame frame, qint32 textBytes) {
    CommandOutcome outcome;
    if (line_.setOutput(toByteArray(frame)) != CommResult::Ok)
        return outcome;
    // A settings frame's echo may come in after the restart that follows it has emptied the
    // input; a frame older than the one before is long through the adapter.
    recentFrames_.insert(recentFrames_.begin(), frame);
    recentFrames_.resize(std::min<std::size_t>(recentFrames_.size(), kEchoedFrames));
    outcome.status = CommandOutcome::Sent;
    outcome.frame = std::move(frame);
    outcome.textBytes = textBytes;
    return outcome;
}

CommandOutcome CardCommands::modifySettings(int address, const SettingsValues &values) {
    if (!line_.portOpen())
        return {};
    const std::pair<int, CommandValue> bytes[] = {{address, CommandValue::OriginalAddress},
                                                  {values.newAddress, CommandValue::NewAddress},
                                                  {values.rows, CommandValue::Rows},
                                                  {values.charsPerRow, CommandValue::CharsPerRow}};
    for (const auto &[value, which] : bytes)
        if (!isByte(value))
            return refused(Refusal::NotAByte, which);
    preparePlain();
    return write(BuildSettingsFrame(address, values));
}

CommandOutcome CardCommands::restart(int address) {
    if (!line_.portOpen())
        return {};
    if (!isByte(address))
        return refused(Refusal::NotAByte, CommandValue::OriginalAddress);
    prepare(line_.setInputMode(1));
    prepare(line_.setInputLen(3));
    prepare(line_.setSThreshold(0));
    prepare(line_.setRThreshold(3));
    prepare(line_.setInBufferCount(0));
    prepare(line_.setOutBufferCount(0));
    Frame frame = BuildRestartFrame(address);
    // Emptied once more right before the write, so that only bytes that arrive after the frame
    // count as the reply.
    prepare(line_.setOutBufferCount(0));
    prepare(line_.setInBufferCount(0));
    CommandOutcome outcome = write(std::move(frame));
    if (outcome.status != CommandOutcome::Sent)
        return outcome;
    // The reply comes back over the line: on a network line its round trip is added to the
    // card's time.
    const auto roundTrip = line_.roundTrip();
    lateReplyLimit_ = roundTrip ? QDeadlineTimer(replyDelay_ + *roundTrip + kReplyLateLimit)
                                : QDeadlineTimer(QDeadlineTimer::Forever);
    replyTimer_.start(replyDelay_ + roundTrip.value_or(std::chrono::milliseconds(0)));
    if (readWhenWhole_)
        wholeReplyLook_.start();
    return outcome;
}

CommandOutcome CardCommands::sendText(int address, DisplayText which, const QString &text,
                                      const CodePage936 &codePage) {
    if (!line_.portOpen())
        return {};
    if (!isByte(address))
        return refused(Refusal::NotAByte, CommandValue::OriginalAddress);
    preparePlain();
    // Without a conversion every character would reach the card as '?', without a word.
    if (!codePage.isValid())
        return refused(Refusal::NoCodePage, CommandValue::Text);
    const std::uint8_t letter =
        which == DisplayText::Initial ? kLetterInitialText : kLetterDisplayText;
    DisplayTextFrame built = BuildDisplayTextFrame(address, letter, text, codePage);
    if (built.tooLong())
        return refused(Refusal::TooLong, CommandValue::Text);
    return write(std::move(built.frame), built.textBytes);
}

std::optional<CardReply> CardCommands::readReply() {
    replyTimer_.stop();
    wholeReplyLook_.stop();
    lateReplyLimit_ = QDeadlineTimer(QDeadlineTimer::Forever);
    // A line that cannot be read ends the tick; fewer than 3 bytes are no reply and stay
    // waiting.
    const auto waiting = line_.inBufferCount();
    if (!waiting || *waiting <= 2)
        return std::nullopt;
    const auto count = line_.inBufferCount();
    if (!count || line_.setInputLen(*count) != CommResult::Ok)
        return std::nullopt;
    const auto received = line_.input();
    if (!received)
        return std::nullopt;
    const QByteArray reply = withoutEcho(*received);
    // An echo and no more, or too little after it, is no answer of the card.
    if (reply.size() <= 2)
        return std::nullopt;
    return CardReply{reply, DecodeReply(reply)};
}

QString WithCardLineBreaks(const QString &text) {
    QString normalized = text;
    normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalized.replace(u'\r', u'\n');
    normalized.replace(QChar::ParagraphSeparator, u'\n');
    normalized.replace(QChar::LineSeparator, u'\n');
    return normalized.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
}
