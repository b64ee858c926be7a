// The reply reader on arbitrary bytes. The first input byte steers the line (which step of
// the reading fails, how many reply bytes arrive only after the first count); the rest is what
// the card sent. The reader runs against a line stand-in that serves the bytes. Checked after
// every tick:
//   - the line is only read, and read at most once;
//   - the settings are what the reply rules give for the bytes, decoded here independently,
//     and the bytes are all those that waited;
//   - a tick that finds fewer than 3 bytes, or a line that cannot be read, gives no reply and
//     leaves the bytes waiting.
#include "card/cardcommands.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    std::optional<QByteArray> peekInput() override { return waiting; }
    std::optional<std::chrono::milliseconds> roundTrip() const override { return std::nullopt; }

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

    ServingPort port(early, reply.right(lateCount), fault);
    CardCommands card(port);

    const std::optional<CardReply> got = card.readReply();

    check(port.otherCalls == 0, "the reader did more to the line than read it");
    check(port.inputs <= 1, "the reader read the line more than once");
    check(!card.replyPending(), "the reply timer runs after the tick");

    const bool read = fault != PortFault::FirstCount && early.size() > 2 &&
                      fault != PortFault::SecondCount && fault != PortFault::InputLen &&
                      fault != PortFault::Input;
    if (!read) {
        check(!got, "a reply was given although none could be read");
        check(port.inputs == 0 || fault == PortFault::Input, "the line was read without a reply");
        check(port.waiting == reply, "bytes were taken although no reply was read");
        return 0;
    }

    check(got.has_value(), "a reply waiting was not read");
    check(port.inputs == 1, "a reply waiting was not read");
    check(port.waiting.isEmpty(), "the reader left part of the reply waiting");
    check(got->bytes == reply, "the reply's bytes are not those that waited");
    const std::vector<int> expected = referenceValues(reply);
    check(std::vector<int>(got->values.begin(), got->values.end()) == expected,
          "the settings differ from what the reply gives");
    return 0;
}
