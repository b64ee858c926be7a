// The reply reader on arbitrary bytes. The first input byte steers the port and the window
// (which port step fails, how many reply bytes arrive only after the first count, which items
// the lists hold before the tick); the rest is what the card sent. The reader runs against a
// window stand-in that holds the lists as start-up fills them and records every call, and a
// port stand-in that serves the bytes. Checked after every tick:
//   - the timer is stopped first and not started again; nothing but the lists is touched, and
//     the port is only read;
//   - no list is asked for an index below -1, and each list ends at -1 or on one of its items,
//     showing that item's text (the characters-per-row list: a decimal number 0..255);
//   - every list shows what the reply rules give for the bytes, decoded here independently;
//   - a tick that finds fewer than 3 bytes, or a port that cannot be read, changes no list and
//     leaves the bytes waiting.
#include "protocol/commands.h"

#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "reply reader: %s\n", what);
    std::abort();
}

void check(bool holds, const char *what) {
    if (!holds)
        fail(what);
}

struct ListState {
    QStringList items;
    int index = -1;
    QString text;

    bool operator==(const ListState &) const = default;
};

QStringList numbers(int first, int last) {
    QStringList items;
    for (int n = first; n <= last; ++n)
        items << QString::number(n);
    return items;
}

const QString kForward = QStringLiteral("正向");
const QString kReverse = QStringLiteral("反向");
const QString kHalfScreen = QStringLiteral("半屏");
const QString kFullScreen = QStringLiteral("全屏");

// The lists as start-up leaves them, with rows, polarities and scan mode on items that the
// steering byte picks, so that a list the reader leaves alone stays visibly where it was.
std::map<Control, ListState> startingLists(int pick) {
    std::map<Control, ListState> lists;
    QStringList ports;
    for (int n = 1; n <= 8; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    lists[Control::Combo1] = {ports, -1, QStringLiteral("COM1")};
    lists[Control::Combo2] = {numbers(0, 255), -1, QStringLiteral("0")};
    lists[Control::Combo8] = {numbers(1, 255), -1, QStringLiteral("1")};
    const QStringList rows = numbers(1, 8);
    const int rowIndex = pick - 1; // -1..6
    lists[Control::Combo3] = {rows, rowIndex, rowIndex < 0 ? QString() : rows[rowIndex]};
    lists[Control::Combo4] = {numbers(4, 16), -1, QStringLiteral("4")};
    const QStringList polarities{kForward, kReverse};
    lists[Control::Combo5] = {polarities, pick & 1, polarities[pick & 1]};
    lists[Control::Combo6] = {polarities, (pick >> 1) & 1, polarities[(pick >> 1) & 1]};
    const QStringList scan{kHalfScreen, kFullScreen};
    lists[Control::Combo7] = {scan, (pick >> 2) & 1, scan[(pick >> 2) & 1]};
    return lists;
}

class RecordingWindow : public WindowOperations {
  public:
    explicit RecordingWindow(std::map<Control, ListState> lists) : lists(std::move(lists)) {}

    std::map<Control, ListState> lists;
    std::vector<Control> listCalls; // in the order the reader made them
    std::vector<bool> timerCalls;
    std::size_t listCallsBeforeTimer = 0;
    int otherCalls = 0;

    void addItem(Control, const QString &) override { ++otherCalls; }
    bool setListIndex(Control list, int index) override {
        listCalls.push_back(list);
        check(index >= -1, "a list was asked for an index below -1");
        ListState &l = at(list);
        if (index >= l.items.size())
            return false;
        l.index = index;
        l.text = index < 0 ? QString() : l.items.at(index);
        return true;
    }
    QString listText(Control list) const override { return lists.at(list).text; }
    void setListText(Control list, const QString &text) override {
        listCalls.push_back(list);
        at(list).text = text;
    }
    QString plainText(Control) const override { return {}; }
    void setPlainText(Control, const QString &) override { ++otherCalls; }
    void setCaption(Control, const QString &) override { ++otherCalls; }
    void setLampColor(std::uint8_t, std::uint8_t, std::uint8_t) override { ++otherCalls; }
    void setTimerInterval(std::chrono::milliseconds) override { ++otherCalls; }
    void setTimerEnabled(bool enabled) override {
        if (timerCalls.empty())
            listCallsBeforeTimer = listCalls.size();
        timerCalls.push_back(enabled);
    }
    int msgBox(const QString &, const QString &, int) override {
        ++otherCalls;
        return kMsgResultOk;
    }

  private:
    ListState &at(Control list) {
        const auto found = lists.find(list);
        check(found != lists.end(), "the reader touched a control that is no list");
        return found->second;
    }
};

enum class PortFault { None, FirstCount, SecondCount, InputLen, Input };

// Serves the reply bytes as a port that the restart command has prepared (byte-array input,
// InputLen 3). The late bytes arrive right after the first count is taken.
class ServingPort : public CommPort {
  public:
    ServingPort(QByteArray early, QByteArray late, PortFault fault)
        : waiting(std::move(early)), late(std::move(late)), fault(fault) {}

    QByteArray waiting;
    QByteArray late;
    PortFault fault;
    int inputLen = 3;
    int counts = 0;
    int inputs = 0;
    int otherCalls = 0;

    CommResult setCommPort(int) override { return other(); }
    int commPort() const override { return 1; }
    CommResult setSettings(const QString &) override { return other(); }
    bool portOpen() const override { return true; }
    CommResult setPortOpen(bool) override { return other(); }
    CommResult setInputMode(int) override { return other(); }
    CommResult setInputLen(int length) override {
        check(length >= 0, "InputLen was set below 0");
        if (fault == PortFault::InputLen)
            return CommResult::IoError;
        inputLen = length;
        return CommResult::Ok;
    }
    CommResult setSThreshold(int) override { return other(); }
    CommResult setRThreshold(int) override { return other(); }
    std::optional<int> inBufferCount() override {
        ++counts;
        const bool fails = (counts == 1 && fault == PortFault::FirstCount) ||
                           (counts == 2 && fault == PortFault::SecondCount);
        const int count = static_cast<int>(waiting.size());
        waiting += late;
        late.clear();
        if (fails)
            return std::nullopt;
        return count;
    }
    CommResult setInBufferCount(int) override { return other(); }
    CommResult setOutBufferCount(int) override { return other(); }
    CommResult setOutput(const QByteArray &) override { return other(); }
    std::optional<QByteArray> input() override {
        ++inputs;
        if (fault == PortFault::Input)
            return std::nullopt;
        const qsizetype taken =
            inputLen == 0 ? waiting.size() : qMin<qsizetype>(inputLen, waiting.size());
        const QByteArray bytes = waiting.left(taken);
        waiting.remove(0, taken);
        return bytes;
    }

  private:
    CommResult other() {
        ++otherCalls;
        return CommResult::Ok;
    }
};

// The five reply values, read straight from the rules: the first 11 bytes count, a byte below
// 16 and the byte after it form a value (0 when above 255), any other byte is a value by
// itself, and bytes the reply lacks read as 0.
std::vector<int> referenceValues(const QByteArray &reply) {
    const qsizetype kept = qMin<qsizetype>(reply.size(), 11);
    const auto byteAt = [&](qsizetype i) {
        return i < kept ? static_cast<std::uint8_t>(reply[i]) : 0;
    };
    std::vector<int> values;
    qsizetype i = 0;
    while (values.size() < 5) {
        const int first = byteAt(i);
        if (first >= 0x10) {
            values.push_back(first);
            i += 1;
        } else {
            const int pair = first * 16 + byteAt(i + 1);
            values.push_back(pair <= 0xFF ? pair : 0);
            i += 2;
        }
    }
    return values;
}

void selectIfHeld(ListState &list, int index) {
    if (index < -1 || index >= list.items.size())
        return;
    list.index = index;
    list.text = index < 0 ? QString() : list.items.at(index);
}

std::map<Control, ListState> expectedLists(std::map<Control, ListState> lists,
                                           const std::vector<int> &v) {
    selectIfHeld(lists[Control::Combo2], v[0]);
    selectIfHeld(lists[Control::Combo3], v[1] - 1);
    lists[Control::Combo4].text = QString::number(v[2]);
    // The flags as the settings frame writes them (0x00, 0x01, 0x10, 0x11) are read bit by
    // bit, data bit 0 and OE bit 4, so that a read-back followed by new settings leaves the
    // card as it was; any other non-zero value is both forward.
    const bool written = v[3] == 0x00 || v[3] == 0x01 || v[3] == 0x10 || v[3] == 0x11;
    const bool dataForward = written ? (v[3] & 0x01) != 0 : v[3] != 0;
    const bool oeForward = written ? (v[3] & 0x10) != 0 : v[3] != 0;
    selectIfHeld(lists[Control::Combo5], dataForward ? 0 : 1);
    selectIfHeld(lists[Control::Combo6], oeForward ? 0 : 1);
    if (v[4] == 1)
        selectIfHeld(lists[Control::Combo7], 1);
    else if (v[4] != 3)
        selectIfHeld(lists[Control::Combo7], 0);
    return lists;
}

bool isPlainNumber(const QString &text) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= 0 && n <= 255 && text == QString::number(n);
}

void checkHoldable(const std::map<Control, ListState> &lists) {
    for (const auto &[control, list] : lists) {
        check(list.index >= -1 && list.index < list.items.size(), "a list index out of range");
        if (control == Control::Combo4)
            check(isPlainNumber(list.text), "characters per row is no number 0..255");
        else if (list.index >= 0)
            check(list.text == list.items.at(list.index), "a list shows other than its item");
        // A list at -1 shows its empty text or the text it had before the tick; the comparison
        // with the expected lists covers which.
    }
}

PortFault faultOf(std::uint8_t steer) {
    switch (steer & 7) {
    case 4:
        return PortFault::FirstCount;
    case 5:
        return PortFault::SecondCount;
    case 6:
        return PortFault::InputLen;
    case 7:
        return PortFault::Input;
    default:
        return PortFault::None;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t steer = data[0];
    const QByteArray reply(reinterpret_cast<const char *>(data + 1),
                           static_cast<qsizetype>(size - 1));
    const qsizetype lateCount = qMin<qsizetype>((steer >> 3) & 3, reply.size());
    const QByteArray early = reply.left(reply.size() - lateCount);
    const PortFault fault = faultOf(steer);

    // Worked out once for each pick: the lists share their items from then on.
    static const std::vector<std::map<Control, ListState>> starts = [] {
        std::vector<std::map<Control, ListState>> all;
        for (int pick = 0; pick < 8; ++pick)
            all.push_back(startingLists(pick));
        return all;
    }();
    const std::map<Control, ListState> &before = starts[steer >> 5];
    RecordingWindow window(before);
    ServingPort port(early, reply.right(lateCount), fault);

    ReadReply(window, port);

    check(window.timerCalls == std::vector<bool>{false}, "the timer was not stopped once");
    check(window.listCallsBeforeTimer == 0, "a list changed before the timer was stopped");
    check(window.otherCalls == 0, "the reader touched more than the lists and the timer");
    check(port.otherCalls == 0, "the reader did more to the port than read it");
    check(port.inputs <= 1, "the reader read the port more than once");

    const bool read = fault != PortFault::FirstCount && early.size() > 2 &&
                      fault != PortFault::SecondCount && fault != PortFault::InputLen &&
                      fault != PortFault::Input;
    if (!read) {
        check(window.listCalls.empty(), "lists changed although no reply could be read");
        check(port.inputs == 0 || fault == PortFault::Input, "the port was read without a reply");
        check(port.waiting == reply, "bytes were taken although no reply was read");
        checkHoldable(window.lists);
        check(window.lists == before, "a list changed although no reply was read");
        return 0;
    }

    check(port.inputs == 1, "a reply waiting was not read");
    check(port.waiting.isEmpty(), "the reader left part of the reply waiting");

    // The lists are set in the order of the reply's values.
    const std::vector<Control> order{Control::Combo2, Control::Combo3, Control::Combo4,
                                     Control::Combo5, Control::Combo6, Control::Combo7};
    std::size_t next = 0;
    for (const Control c : window.listCalls) {
        while (next < order.size() && order[next] != c)
            ++next;
        check(next < order.size(), "the lists were set out of order");
    }

    checkHoldable(window.lists);
    check(window.lists == expectedLists(before, referenceValues(reply)),
          "the lists differ from what the reply gives");
    return 0;
}
