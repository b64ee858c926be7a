#include "cli/cardsession.h"

#include "protocol/frame.h"
#include "protocol/messages.h"

#include <QDeadlineTimer>
#include <QEventLoop>

#include <algorithm>

namespace {

constexpr int kBaud = 9600;

// How long a frame may take to leave: twice its time on the line (10 bits a byte), and five
// seconds for a driver that is slow to start.
std::chrono::milliseconds drainDeadline(qint64 bytes) {
    return std::chrono::milliseconds(bytes * 10 * 1000 / kBaud * 2 + 5000);
}

// The settings values a list text stands for, read as the settings command reads them.
int byteOf(const QString &text) {
    return ParseByteText(text).value_or(-1);
}

QString polarityText(bool forward) {
    return forward ? msg::kForward : msg::kReverse;
}

} // namespace

bool SettingsChoice::needsReadBack(const QString &address) const {
    const bool keepsAddress = newAddress.isEmpty() && byteOf(address) == kAddressBroadcast;
    return keepsAddress || rows.isEmpty() || chars.isEmpty() || data.isEmpty() || oe.isEmpty() ||
           scan.isEmpty();
}

CardSession::CardSession(const PortChoice &choice)
    : choice_(choice), port_(choice.device.isEmpty()
                                 ? PortMapping(portDevice)
                                 : PortMapping([device = choice.device](int) { return device; })) {
    window_.load();
    window_.setErrorHandler([this](const QString &text) { error_ = text; });
    window_.setTickHandler([this] { ReadReply(window_, recorder_); });
}

int CardSession::fail(int code, const QString &error) {
    error_ = error;
    return code;
}

int CardSession::open() {
    if (port_.setCommPort(choice_.number) != CommResult::Ok)
        return fail(kExitPort, msg::kOpenFailed);
    // A valid line string, which a closed port always takes.
    (void)port_.setSettings(QStringLiteral("9600,n,8,1"));
    if (port_.setPortOpen(true) != CommResult::Ok)
        return fail(kExitPort, msg::kOpenFailed + u'\n' +
                                   msg::openFailureDetails(choice_.number, port_.openError()));
    return kExitDone;
}

int CardSession::outcomeCode(CommandOutcome outcome) {
    switch (outcome) {
    case CommandOutcome::Sent:
        return kExitDone;
    case CommandOutcome::PortClosed:
        return kExitPort;
    case CommandOutcome::Cancelled:
        return fail(kExitRefused, QStringLiteral("未确认广播地址 0，设置未发送。"));
    default:
        // Refused and too long, and any later refusal: the command has shown its text.
        return kExitRefused;
    }
}

int CardSession::restart(const QString &address, ReadBack *readBack) {
    // Lists without a selection, so that a value the reply reader cannot select stays visible
    // as missing rather than as the value the list held before.
    for (const Control list :
         {Control::Combo3, Control::Combo4, Control::Combo5, Control::Combo6, Control::Combo7})
        window_.setListIndex(list, -1);
    window_.setListText(Control::Combo2, address);
    recorder_.forgetInput();

    const int code = outcomeCode(Restart(window_, recorder_));
    if (code != kExitDone)
        return code;
    if (window_.timerActive()) {
        QEventLoop loop;
        QObject::connect(&window_, &HeadlessWindow::ticked, &loop, &QEventLoop::quit);
        QObject::connect(&port_, &MSComm::portLost, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!port_.portOpen())
        return fail(kExitPort, msg::kPortNotOpen);
    const QByteArray raw = recorder_.lastInput();
    if (raw.isEmpty())
        return fail(kExitNoReply, QStringLiteral("原地址 %1 的控制卡没有应答。").arg(address));

    const ReplyValues v = DecodeReply(raw);
    const auto shown = [this](Control list, int value) {
        const QString text = window_.listText(list);
        return text.isEmpty() ? QString::number(value) : text;
    };
    readBack->raw = raw;
    readBack->address = shown(Control::Combo2, v[0]);
    readBack->rows = shown(Control::Combo3, v[1]);
    readBack->chars = shown(Control::Combo4, v[2]);
    readBack->data = shown(Control::Combo5, v[3]);
    readBack->oe = shown(Control::Combo6, v[3]);
    readBack->scan = shown(Control::Combo7, v[4]);
    return kExitDone;
}

int CardSession::modify(const QString &address, const SettingsChoice &choice,
                        SettingsValues *sent) {
    QString newAddress = choice.newAddress.isEmpty() ? address : choice.newAddress;
    if (choice.needsReadBack(address)) {
        ReadBack card;
        if (const int code = restart(address, &card); code != kExitDone)
            return code == kExitNoReply ? fail(code, error_ + QStringLiteral("设置未修改。"))
                                        : code;
        window_.setListText(Control::Combo3, card.rows);
        window_.setListText(Control::Combo4, card.chars);
        window_.setListText(Control::Combo5, card.data);
        window_.setListText(Control::Combo6, card.oe);
        window_.setListText(Control::Combo7, card.scan);
        if (choice.newAddress.isEmpty())
            newAddress = card.address;
    }
    window_.setListText(Control::Combo2, address);
    window_.setListText(Control::Combo8, newAddress);
    const std::pair<Control, const QString &> given[] = {{Control::Combo3, choice.rows},
                                                         {Control::Combo4, choice.chars},
                                                         {Control::Combo5, choice.data},
                                                         {Control::Combo6, choice.oe},
                                                         {Control::Combo7, choice.scan}};
    for (const auto &[list, text] : given)
        if (!text.isEmpty())
            window_.setListText(list, text);

    const int code = outcomeCode(ModifySettings(window_, recorder_));
    if (code != kExitDone)
        return code;
    sent->newAddress = byteOf(window_.listText(Control::Combo8));
    sent->rows = byteOf(window_.listText(Control::Combo3));
    sent->charsPerRow = byteOf(window_.listText(Control::Combo4));
    sent->polarityFlags = (window_.listText(Control::Combo5) == msg::kForward ? 1 : 0) +
                          (window_.listText(Control::Combo6) == msg::kForward ? 16 : 0);
    sent->scanMode = window_.listText(Control::Combo7) == msg::kFullScreen ? 1 : 0;
    return drain(static_cast<qint64>(BuildSettingsFrame(byteOf(address), *sent).size()));
}

int CardSession::sendText(const DisplayTextTarget &target, const QString &address,
                          const QString &text, QString *caption) {
    window_.setListText(Control::Combo2, address);
    window_.setPlainText(target.textBox, text);
    const int code = outcomeCode(SendDisplayText(window_, recorder_, target));
    if (code != kExitDone)
        return code;
    *caption = window_.caption(target.button);
    const QString sentText = window_.plainText(target.textBox);
    return drain(static_cast<qint64>(
        BuildDisplayTextFrame(byteOf(address), target.letter, sentText).frame.size()));
}

int CardSession::drain(qint64 total) {
    // Qt's queue first, a piece at a time as the driver takes it, then the driver's own.
    const QDeadlineTimer deadline(drainDeadline(total));
    while (port_.pendingOutput() > 0) {
        if (deadline.hasExpired())
            return fail(kExitPort, QStringLiteral("串口在 %1 毫秒内没有发完 %2 字节，已放弃。")
                                       .arg(drainDeadline(total).count())
                                       .arg(total));
        port_.waitForBytesWritten(
            static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, 250)));
        if (progress_)
            progress_(std::max<qint64>(0, total - port_.unsentBytes()), total);
    }
    if (!port_.drain())
        return fail(kExitPort, msg::kPortNotOpen);
    if (progress_)
        progress_(total, total);
    return kExitDone;
}

QStringList compareReadBack(const SettingsValues &sent, const ReadBack &readBack) {
    const Polarities polarities{(sent.polarityFlags & 1) != 0, (sent.polarityFlags & 16) != 0};
    const struct {
        const QString &label;
        QString sent;
        QString got;
    } values[] = {
        {msg::kLabelNewAddress, QString::number(sent.newAddress), readBack.address},
        {msg::kLabelRows, QString::number(sent.rows), readBack.rows},
        {msg::kLabelCharsPerRow, QString::number(sent.charsPerRow), readBack.chars},
        {cli::kLabelData, polarityText(polarities.dataForward), readBack.data},
        {cli::kLabelOe, polarityText(polarities.oeForward), readBack.oe},
        {cli::kLabelScan, sent.scanMode == 1 ? msg::kFullScreen : msg::kHalfScreen, readBack.scan},
    };
    QStringList differences;
    for (const auto &v : values)
        if (v.sent != v.got)
            differences << QStringLiteral("%1 发送 %2，读回 %3").arg(v.label, v.sent, v.got);
    return differences;
}
