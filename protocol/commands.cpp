#include "protocol/commands.h"

#include "protocol/messages.h"

namespace {

void showError(WindowOperations &window, const QString &text) {
    window.msgBox(text, msg::kErrorTitle, kMsgCritical);
}

CommandOutcome refusePortClosed(WindowOperations &window) {
    showError(window, msg::kPortNotOpen);
    return CommandOutcome::PortClosed;
}

// Reads a list as a number 0..255, or tells the operator which list is wrong.
std::optional<int> readByte(WindowOperations &window, Control list, const QString &label) {
    const auto value = ParseByteText(window.listText(list));
    if (!value)
        showError(window, msg::notAByte(label));
    return value;
}

// A preparation of the port the command has just found open. Its values are ones the port
// always takes, so it can only fail on a port lost since; the write that follows then fails
// too and tells the operator, so the preparation's own result is not needed.
void prepare(CommResult) {}

// The plain preparation: no notifications, both buffers emptied.
void preparePlain(CommPort &port) {
    prepare(port.setSThreshold(0));
    prepare(port.setRThreshold(0));
    prepare(port.setInBufferCount(0));
    prepare(port.setOutBufferCount(0));
}

CommandOutcome write(WindowOperations &window, CommPort &port, const Frame &frame) {
    if (port.setOutput(toByteArray(frame)) != CommResult::Ok)
        return refusePortClosed(window);
    return CommandOutcome::Sent;
}

} // namespace

void FillLists(WindowOperations &window) {
    for (int i = 0; i <= 254; ++i) {
        window.addItem(Control::Combo2, QString::number(i));
        window.addItem(Control::Combo8, QString::number(i + 1));
    }
    window.addItem(Control::Combo2, QStringLiteral("255"));
    for (int i = 1; i <= 8; ++i)
        window.addItem(Control::Combo3, QString::number(i));
    for (int i = 4; i <= 16; ++i)
        window.addItem(Control::Combo4, QString::number(i));
    window.addItem(Control::Combo5, msg::kForward);
    window.addItem(Control::Combo5, msg::kReverse);
    window.setListIndex(Control::Combo5, 1);
    window.addItem(Control::Combo6, msg::kForward);
    window.addItem(Control::Combo6, msg::kReverse);
    window.setListIndex(Control::Combo6, 1);
    window.addItem(Control::Combo7, msg::kHalfScreen);
    window.addItem(Control::Combo7, msg::kFullScreen);
    window.setListIndex(Control::Combo7, 0);
    window.setPlainText(Control::RichTextBox1, QStringLiteral("欢迎光临"));
}

CommandOutcome ModifySettings(WindowOperations &window, CommPort &port) {
    if (!port.portOpen())
        return refusePortClosed(window);
    preparePlain(port);

    const auto address = readByte(window, Control::Combo2, msg::kLabelOriginalAddress);
    if (!address)
        return CommandOutcome::Refused;
    SettingsValues values;
    const auto newAddress = readByte(window, Control::Combo8, msg::kLabelNewAddress);
    if (!newAddress)
        return CommandOutcome::Refused;
    const auto rows = readByte(window, Control::Combo3, msg::kLabelRows);
    if (!rows)
        return CommandOutcome::Refused;
    const auto charsPerRow = readByte(window, Control::Combo4, msg::kLabelCharsPerRow);
    if (!charsPerRow)
        return CommandOutcome::Refused;
    values.newAddress = *newAddress;
    values.rows = *rows;
    values.charsPerRow = *charsPerRow;
    // Whole texts, compared as they stand: anything but "正向" is reverse, anything but
    // "全屏" is half screen.
    values.polarityFlags = (window.listText(Control::Combo5) == msg::kForward ? 1 : 0) +
                           (window.listText(Control::Combo6) == msg::kForward ? 16 : 0);
    values.scanMode = window.listText(Control::Combo7) == msg::kFullScreen ? 1 : 0;

    const Frame frame = BuildSettingsFrame(*address, values);

    // Address 0 would give every card on the line the same new address.
    if (*address == kAddressBroadcast &&
        window.msgBox(msg::kBroadcastQuestion, msg::kBroadcastTitle, kMsgOkCancel) != kMsgResultOk)
        return CommandOutcome::Cancelled;

    return write(window, port, frame);
}

CommandOutcome Restart(WindowOperations &window, CommPort &port,
                       std::chrono::milliseconds replyDelay) {
    if (!port.portOpen())
        return refusePortClosed(window);
    prepare(port.setInputMode(1));
    prepare(port.setInputLen(3));
    prepare(port.setSThreshold(0));
    prepare(port.setRThreshold(3));
    prepare(port.setInBufferCount(0));
    prepare(port.setOutBufferCount(0));

    const auto address = readByte(window, Control::Combo2, msg::kLabelOriginalAddress);
    if (!address)
        return CommandOutcome::Refused;
    const Frame frame = BuildRestartFrame(*address);

    // Emptied once more right before the write, so only bytes that arrive after the frame
    // count as the reply.
    prepare(port.setOutBufferCount(0));
    prepare(port.setInBufferCount(0));
    const CommandOutcome outcome = write(window, port, frame);
    if (outcome != CommandOutcome::Sent)
        return outcome;

    window.setTimerInterval(replyDelay);
    window.setTimerEnabled(true);
    return outcome;
}

void ReadReply(WindowOperations &window, CommPort &port) {
    window.setTimerEnabled(false);

    // A port that cannot be read ends the tick; fewer than 3 bytes are no reply and stay
    // waiting.
    const auto waiting = port.inBufferCount();
    if (!waiting || *waiting <= 2)
        return;
    const auto count = port.inBufferCount();
    if (!count || port.setInputLen(*count) != CommResult::Ok)
        return;
    const auto received = port.input();
    if (!received)
        return;

    const ReplyValues v = DecodeReply(*received);

    // Each list stands alone: an index the list does not hold is refused and leaves that list.
    window.setListIndex(Control::Combo2, v[0]);
    window.setListIndex(Control::Combo3, v[1] - 1);
    window.setListText(Control::Combo4, QString::number(v[2]));
    const Polarities polarities = DecodePolarityFlags(v[3]);
    window.setListIndex(Control::Combo5, polarities.dataForward ? 0 : 1);
    window.setListIndex(Control::Combo6, polarities.oeForward ? 0 : 1);
    window.setListIndex(Control::Combo7, v[4] == 1 ? 1 : v[4] == 3 ? 2 : 0);
}

const DisplayTextTarget &initialDisplayText() {
    static const DisplayTextTarget target{Control::RichTextBox1, kLetterInitialText,
                                          Control::Command6, QStringLiteral("设置地址"),
                                          QStringLiteral("初始显示信息(")};
    return target;
}

const DisplayTextTarget &currentDisplayText() {
    static const DisplayTextTarget target{Control::RichTextBox2, kLetterDisplayText,
                                          Control::Command7, QStringLiteral("发送地址"),
                                          QStringLiteral("显示信息(")};
    return target;
}

CommandOutcome SendDisplayText(WindowOperations &window, CommPort &port,
                               const DisplayTextTarget &target, const CodePage936 &codePage) {
    if (!port.portOpen())
        return refusePortClosed(window);
    const QString text = window.plainText(target.textBox);
    preparePlain(port);

    const auto address = readByte(window, Control::Combo2, msg::kLabelOriginalAddress);
    if (!address)
        return CommandOutcome::Refused;
    if (!codePage.isValid()) {
        showError(window, msg::kNoGbkConversion);
        return CommandOutcome::NoCodePage;
    }
    const DisplayTextFrame built = BuildDisplayTextFrame(*address, target.letter, text, codePage);
    if (static_cast<qsizetype>(built.frame.size()) > kMaxFrameLength) {
        showError(window, msg::kTextTooLong);
        return CommandOutcome::TooLong;
    }

    const CommandOutcome outcome = write(window, port, built.frame);
    if (outcome != CommandOutcome::Sent)
        return outcome;
    window.setCaption(target.button, target.captionBefore + window.listText(Control::Combo2) +
                                         target.captionAfter + QString::number(built.B) +
                                         QStringLiteral(")"));
    return outcome;
}
