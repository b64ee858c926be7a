#include "serial/mscomm.h"

#include "serial/line.h"
#include "serial/linesettings.h"

namespace {

// The receive buffer of the control: bytes beyond it are dropped as on an overrun, so a
// babbling line cannot grow the tool's memory while nobody reads.
constexpr qsizetype kInBufferSize = 1024;

} // namespace

struct MSComm::Private {
    PortMapping mapping;
    std::unique_ptr<Line> line;
    QString lineDevice; // the device the line was made for
    int number = 1;
    QString typedName;
    LineSettings settings;
    int inputMode = 0; // kept for the order of the calls only, as sThreshold and rThreshold
    int inputLen = 0;
    int sThreshold = 0;
    int rThreshold = 0;
    QByteArray inBuffer;
    QString device;
    OpenError openError;
    bool lost = false;    // the line went away; the port closes on the next turn of the loop
    bool opening = false; // an open under way, in steps or waited for
    bool closing = false; // a close waited for runs the event loop meanwhile

    bool usable() const { return line && line->isOpen() && !lost && !opening && !closing; }

    // Moves what the line has received into the control's receive buffer.
    void takeArrived() {
        if (!line)
            return;
        const QByteArray arrived = line->readReceived();
        const qsizetype room = kInBufferSize - inBuffer.size();
        if (room > 0)
            inBuffer.append(arrived.left(room));
    }

    // Takes in what already waits in the system, so that a count taken between events is up
    // to date; false when the port cannot be read, before or after.
    bool pumped() {
        if (!usable())
            return false;
        line->takeInWaiting();
        takeArrived();
        return usable();
    }

    void close() {
        inBuffer.clear();
        lost = false;
        if (!line)
            return;
        closing = true;
        line->beginClose();
        FinishStep(*line, [this] { return line->closeStep(); });
        closing = false;
    }
};

MSComm::MSComm(PortMapping mapping, QObject *parent) : QObject(parent), d(new Private) {
    d->mapping = std::move(mapping);
}

MSComm::~MSComm() {
    // A server lets its port go only after the connection has ended both ways: a port opened
    // again right after would be turned away.
    d->close();
}

CommResult MSComm::setCommPort(int number) {
    if (d->usable())
        return CommResult::PortAlreadyOpen;
    if (number < kFirstCommPort || number > kLastPortNumber)
        return CommResult::InvalidValue;
    d->number = number;
    d->typedName.clear();
    return CommResult::Ok;
}

int MSComm::commPort() const {
    return d->number;
}

CommResult MSComm::setPortName(const QString &device) {
    if (d->usable())
        return CommResult::PortAlreadyOpen;
    if (device.trimmed().isEmpty())
        return CommResult::InvalidValue;
    d->typedName = device.trimmed();
    return CommResult::Ok;
}

QString MSComm::portName() const {
    return d->typedName;
}

CommResult MSComm::setSettings(const QString &settings) {
    const auto parsed = LineSettings::parse(settings);
    if (!parsed)
        return CommResult::InvalidValue;
    d->settings = *parsed;
    if (d->usable() && !d->line->applySettings(d->settings))
        return CommResult::IoError;
    return CommResult::Ok;
}

bool MSComm::portOpen() const {
    return d->usable();
}

CommResult MSComm::setPortOpen(bool open) {
    if (d->opening || d->closing)
        return open ? CommResult::OpenFailed : CommResult::Ok;
    if (!open) {
        d->close();
        return CommResult::Ok;
    }
    if (d->usable())
        return CommResult::Ok;
    d->close();
    if (!prepareLine())
        return CommResult::OpenFailed;
    d->opening = true;
    d->line->beginOpen(d->settings);
    const bool opened =
        FinishStep(*d->line, [this] { return d->line->openStep(&d->openError); }) == LineStep::Done;
    d->opening = false;
    d->inBuffer.clear();
    return opened ? CommResult::Ok : CommResult::OpenFailed;
}

bool MSComm::prepareLine() {
    const PortTarget target =
        d->typedName.isEmpty() ? d->mapping(d->number) : PortTarget(d->typedName);
    d->device = target.device;
    d->openError = OpenError{};
    if (target.device.isEmpty()) {
        d->openError.device = target.ghost;
        d->openError.kind = OpenError::NoDevice;
        return false;
    }
    if (!d->line || d->lineDevice != target.device) {
        d->line = Line::create(target.device);
        d->lineDevice = target.device;
        connect(d->line.get(), &Line::received, this, [this] { d->takeArrived(); });
        connect(d->line.get(), &Line::activity, this, &MSComm::lineActivity);
        connect(d->line.get(), &Line::lost, this, [this] {
            // A line that went away (an adapter pulled, a peer that hung up, a server gone)
            // leaves the port closed, so that nothing spins on a dead descriptor and the next
            // command reports it. The close waits for the next turn of the loop: the line is
            // still inside its own notification here.
            d->lost = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (d->lost) {
                        d->close();
                        emit portLost();
                    }
                },
                Qt::QueuedConnection);
        });
    }
    return true;
}

CommResult MSComm::beginOpen() {
    if (d->opening || d->usable())
        return CommResult::PortAlreadyOpen;
    d->close();
    if (!prepareLine())
        return CommResult::OpenFailed;
    d->opening = true;
    d->line->beginOpen(d->settings);
    return CommResult::Ok;
}

LineStep MSComm::openStep() {
    if (!d->opening)
        return d->usable() ? LineStep::Done : LineStep::Failed;
    const LineStep step = d->line->openStep(&d->openError);
    if (step != LineStep::Pending) {
        d->opening = false;
        d->inBuffer.clear();
    }
    return step;
}

void MSComm::beginDrain() {
    if (d->usable())
        d->line->beginDrain();
}

LineStep MSComm::drainStep() {
    return d->usable() ? d->line->drainStep() : LineStep::Failed;
}

void MSComm::beginClose() {
    d->opening = false;
    d->inBuffer.clear();
    d->lost = false;
    if (d->line)
        d->line->beginClose();
}

void MSComm::abort() {
    d->opening = false;
    d->inBuffer.clear();
    d->lost = false;
    if (d->line)
        d->line->abort();
}

LineStep MSComm::closeStep() {
    return d->line ? d->line->closeStep() : LineStep::Done;
}

CommResult MSComm::setInputMode(int mode) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (mode != 0 && mode != 1)
        return CommResult::InvalidValue;
    d->inputMode = mode;
    return CommResult::Ok;
}

CommResult MSComm::setInputLen(int length) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (length < 0 || length > 32767)
        return CommResult::InvalidValue;
    d->inputLen = length;
    return CommResult::Ok;
}

CommResult MSComm::setSThreshold(int bytes) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (bytes < 0 || bytes > 32767)
        return CommResult::InvalidValue;
    d->sThreshold = bytes;
    return CommResult::Ok;
}

CommResult MSComm::setRThreshold(int bytes) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (bytes < 0 || bytes > 32767)
        return CommResult::InvalidValue;
    d->rThreshold = bytes;
    return CommResult::Ok;
}

std::optional<int> MSComm::inBufferCount() {
    if (!d->pumped())
        return std::nullopt;
    return static_cast<int>(d->inBuffer.size());
}

CommResult MSComm::setInBufferCount(int count) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (count != 0)
        return CommResult::InvalidValue;
    const bool cleared = d->line->clearReceived();
    d->inBuffer.clear();
    return cleared ? CommResult::Ok : CommResult::IoError;
}

CommResult MSComm::setOutBufferCount(int count) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (count != 0)
        return CommResult::InvalidValue;
    return d->line->clearUnsent() ? CommResult::Ok : CommResult::IoError;
}

CommResult MSComm::setOutput(const QByteArray &bytes) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (bytes.isEmpty())
        return CommResult::Ok;
    return d->line->write(bytes) ? CommResult::Ok : CommResult::IoError;
}

std::optional<QByteArray> MSComm::input() {
    if (!d->pumped())
        return std::nullopt;
    const qsizetype n =
        d->inputLen == 0 ? d->inBuffer.size() : qMin<qsizetype>(d->inputLen, d->inBuffer.size());
    QByteArray out = d->inBuffer.left(n);
    d->inBuffer.remove(0, n);
    return out;
}

std::optional<QByteArray> MSComm::peekInput() {
    if (!d->pumped())
        return std::nullopt;
    return d->inBuffer;
}

std::optional<std::chrono::milliseconds> MSComm::roundTrip() const {
    return d->usable() ? d->line->roundTrip() : std::nullopt;
}

std::optional<qint64> MSComm::acknowledgedOfLastFrame() const {
    return d->line ? d->line->acknowledgedOfLastFrame() : std::nullopt;
}

qint64 MSComm::queuedBytes() const {
    return d->usable() ? d->line->queuedBytes() : 0;
}

qint64 MSComm::unsentBytes() const {
    return d->usable() ? d->line->unsentBytes() : 0;
}

bool MSComm::drain() {
    if (!d->usable())
        return false;
    d->line->beginDrain();
    return FinishStep(*d->line, [this] {
               return d->usable() ? d->line->drainStep() : LineStep::Failed;
           }) == LineStep::Done;
}

PortTarget MSComm::target(int number) const {
    if (number < kFirstCommPort || number > kLastPortNumber)
        return {};
    return d->mapping(number);
}

QString MSComm::device() const {
    return d->device;
}

const OpenError &MSComm::openError() const {
    return d->openError;
}
