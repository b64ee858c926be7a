// The Telnet codec of the RFC 2217 line on arbitrary server bytes. Input: a flags byte (bit 0:
// the client's opening goes first; bit 1: the stream after a head is repeated 1 + (flags >> 4)
// times, for long subnegotiations and option storms), a count of split points (low 4 bits),
// that many read sizes, with bit 1 the head's length, then the stream. The stream is decoded
// whole by one codec and read by read by another.
// Checked:
//   - the split reads give the same data, replies, events and options as the whole stream;
//   - the data, the COM-PORT-OPTION answers and the options that end up on are those that a
//     plain reading of the stream gives (so no command is left in the data);
//   - the replies are whole commands, not more than the requests, never take on an option the
//     client does not have, and for an option it has only come with the change they announce
//     (no loop); each event changes what enabled() reports;
//   - the memory the codec holds between reads stays bounded, also inside a subnegotiation that
//     never ends;
//   - when both sides agree on BINARY, decode(encode(x)) gives x back with no command, and an
//     answer framed by comPort() comes out as one event with its value.
#include "serial/telnetcodec.h"

#include <sanitizer/allocator_interface.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Codec = TelnetCodec;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "telnet codec: %s\n", what);
    std::abort();
}

void check(bool holds, const char *what) {
    if (!holds)
        fail(what);
}

// What the codec may keep between reads: a subnegotiation of 256 bytes and the array's own
// overhead and growth.
constexpr std::size_t kHeldLimit = 1024;

bool isRequest(quint8 verb) {
    return verb == Codec::kWill || verb == Codec::kWont || verb == Codec::kDo ||
           verb == Codec::kDont;
}

bool offered(quint8 option) {
    return option == Codec::kBinary || option == Codec::kSuppressGoAhead ||
           option == Codec::kComPortOption;
}

bool accepted(quint8 option) {
    return option == Codec::kBinary || option == Codec::kSuppressGoAhead;
}

struct Answer {
    quint8 command;
    QByteArray value;
    bool operator==(const Answer &) const = default;
};

// The stream read in one pass with lookahead, as RFC 854 lays it out: IAC IAC is a 0xFF of
// data, IAC and a verb and an option is a request, IAC SB option ... IAC SE a subnegotiation
// (in which IAC IAC is a 0xFF and any other command ends it), IAC and anything else a bare
// command. Outside BINARY from the server, the NUL after a CR of data is no data.
struct Reading {
    QByteArray data;
    std::vector<Answer> answers;
    int requests = 0;
    // The last word of the server on each option: DO/DONT for our side, WILL/WONT for its own.
    std::array<std::array<bool, 256>, 2> on{};
    bool midCommand = false; // the stream ends inside a command or subnegotiation
    bool crPending = false;  // the last data byte was a CR
};

Reading read(const QByteArray &s) {
    Reading r;
    const qsizetype n = s.size();
    const auto at = [&](qsizetype k) { return static_cast<quint8>(s[k]); };
    bool cr = false;
    qsizetype i = 0;
    while (i < n) {
        const quint8 b = at(i);
        if (b != Codec::kIac) {
            if (cr && b == Codec::kNul && !r.on[0][Codec::kBinary]) {
                cr = false;
            } else {
                cr = b == Codec::kCr;
                r.data.append(static_cast<char>(b));
            }
            ++i;
            continue;
        }
        if (i + 1 == n) {
            r.midCommand = true;
            break;
        }
        const quint8 verb = at(i + 1);
        if (verb == Codec::kIac) {
            r.data.append(static_cast<char>(verb));
            cr = false;
            i += 2;
            continue;
        }
        if (isRequest(verb)) {
            if (i + 2 == n) {
                r.midCommand = true;
                break;
            }
            ++r.requests;
            const bool ours = verb == Codec::kDo || verb == Codec::kDont;
            const bool yes = verb == Codec::kDo || verb == Codec::kWill;
            const quint8 option = at(i + 2);
            r.on[ours ? 1 : 0][option] = yes && (ours ? offered(option) : accepted(option));
            i += 3;
            continue;
        }
        if (verb != Codec::kSb) {
            i += 2;
            continue;
        }
        if (i + 2 == n) {
            r.midCommand = true;
            break;
        }
        const quint8 option = at(i + 2);
        QByteArray body;
        qsizetype j = i + 3;
        bool ended = false;
        while (j < n) {
            if (at(j) != Codec::kIac) {
                body.append(s[j]);
                ++j;
            } else if (j + 1 == n) {
                break;
            } else if (at(j + 1) == Codec::kIac) {
                body.append(s[j]);
                j += 2;
            } else {
                ended = true;
                break;
            }
        }
        if (!ended) {
            r.midCommand = true;
            break;
        }
        // The codec keeps the first 256 bytes: the command and 255 of value.
        body.truncate(256);
        if (option == Codec::kComPortOption && !body.isEmpty()) {
            const auto command = static_cast<quint8>(body[0]);
            if (command >= Codec::kServerOffset &&
                command != Codec::kServerOffset + Codec::kNotifyLineState &&
                command != Codec::kServerOffset + Codec::kNotifyModemState)
                r.answers.push_back({command, body.mid(1)});
        }
        // IAC SE is taken with the subnegotiation; another command that cut it short is read
        // as a command.
        i = at(j + 1) == Codec::kSe ? j + 2 : j;
    }
    r.crPending = cr;
    return r;
}

bool sameEvent(const Codec::Event &a, const Codec::Event &b) {
    return a.kind == b.kind && a.option == b.option && a.local == b.local &&
           a.command == b.command && a.value == b.value;
}

// Everything decoded over several reads, with the checks that hold for every read.
struct Run {
    Codec codec;
    Codec::Decoded all;
    // On or off as the events have it: [0] the server's side, [1] ours.
    std::array<std::array<bool, 256>, 2> on{};

    explicit Run(bool opening) {
        if (opening)
            codec.start();
    }

    void decode(QByteArrayView bytes) {
        const Codec::Decoded part = codec.decode(bytes);
        check(part.replies.size() % 3 == 0, "a reply is not a whole command");
        for (qsizetype k = 0; k < part.replies.size(); k += 3)
            check(static_cast<quint8>(part.replies[k]) == Codec::kIac &&
                      isRequest(static_cast<quint8>(part.replies[k + 1])),
                  "a reply is not IAC, a verb and an option");
        // For the options the client takes, a reply only comes with the change it announces,
        // so a server that keeps asking is not answered again and neither side loops.
        std::array<std::array<std::array<int, 2>, 256>, 2> changes{};
        for (const Codec::Event &e : part.events)
            if (e.kind != Codec::Event::ComPort)
                ++changes[e.local][e.option][e.kind == Codec::Event::Enabled];
        for (qsizetype k = 0; k < part.replies.size(); k += 3) {
            const auto verb = static_cast<quint8>(part.replies[k + 1]);
            const auto option = static_cast<quint8>(part.replies[k + 2]);
            const bool ours = verb == Codec::kWill || verb == Codec::kWont;
            const bool yes = verb == Codec::kWill || verb == Codec::kDo;
            const bool taken = ours ? offered(option) : accepted(option);
            check(taken || !yes, "a reply takes on an option the client does not have");
            if (taken)
                check(--changes[ours][option][yes] >= 0, "a reply that changes nothing: a loop");
        }
        for (const Codec::Event &e : part.events) {
            if (e.kind == Codec::Event::ComPort) {
                check(e.option == Codec::kComPortOption && e.command >= Codec::kServerOffset,
                      "a COM-PORT-OPTION event that is no answer");
                check(e.value.size() <= 255, "a COM-PORT-OPTION value over 255 bytes");
                continue;
            }
            bool &state = on[e.local][e.option];
            if (e.kind == Codec::Event::Enabled) {
                check(!state, "an option is reported on twice");
                check(e.local ? offered(e.option) : accepted(e.option),
                      "an option the client does not have is on");
            }
            state = e.kind == Codec::Event::Enabled;
        }
        for (int side = 0; side < 2; ++side)
            for (int option = 0; option < 256; ++option)
                check(codec.enabled(static_cast<quint8>(option), side == 1) == on[side][option],
                      "enabled() differs from what the events said");
        all.data += part.data;
        all.replies += part.replies;
        all.events.insert(all.events.end(), part.events.begin(), part.events.end());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint8_t flags = bytes[0];
    const bool opening = flags & 1;
    const bool repeated = flags & 2;
    const std::size_t splits = bytes[1] & 15;
    const std::size_t skipped = 2 + splits + (repeated ? 1 : 0);
    if (size < skipped)
        return 0;
    const QByteArray once(reinterpret_cast<const char *>(bytes + skipped),
                          static_cast<qsizetype>(size - skipped));
    QByteArray stream = once;
    if (repeated) {
        const qsizetype head = qMin<qsizetype>(bytes[2 + splits], once.size());
        stream = once.left(head) + once.mid(head).repeated(1 + (flags >> 4));
    }

    // The reads: the given sizes, the rest of the stream last.
    std::vector<QByteArrayView> reads;
    qsizetype at = 0;
    for (std::size_t k = 0; k < splits; ++k) {
        const qsizetype length = qMin<qsizetype>(bytes[2 + k], stream.size() - at);
        reads.push_back(QByteArrayView(stream).sliced(at, length));
        at += length;
    }
    reads.push_back(QByteArrayView(stream).sliced(at));

    Run whole(opening);
    whole.decode(stream);
    Run split(opening);
    for (const QByteArrayView r : reads)
        split.decode(r);

    check(split.all.data == whole.all.data, "split reads give other data");
    check(split.all.replies == whole.all.replies, "split reads give other replies");
    check(split.all.events.size() == whole.all.events.size(), "split reads give other events");
    for (std::size_t k = 0; k < whole.all.events.size(); ++k)
        check(sameEvent(split.all.events[k], whole.all.events[k]), "split reads give other events");
    check(split.on == whole.on, "split reads leave other options on");

    const Reading expected = read(stream);
    check(whole.all.data == expected.data, "the data differs from the stream's data");
    std::vector<Answer> answers;
    for (const Codec::Event &e : whole.all.events)
        if (e.kind == Codec::Event::ComPort)
            answers.push_back({e.command, e.value});
    check(answers == expected.answers, "the COM-PORT-OPTION answers differ from the stream's");
    check(whole.on == expected.on, "the options on differ from the server's last word");
    check(whole.all.replies.size() / 3 <= expected.requests, "more replies than requests");

    // The memory held between reads, by a codec whose results are let go at once.
    {
        Codec held;
        if (opening)
            held.start();
        const std::size_t before = __sanitizer_get_current_allocated_bytes();
        for (const QByteArrayView r : reads) {
            held.decode(r);
            check(__sanitizer_get_current_allocated_bytes() <= before + kHeldLimit,
                  "the codec holds more than a subnegotiation's worth of memory");
        }
    }

    if (expected.midCommand)
        return 0;
    Codec &codec = split.codec;
    const bool binary = codec.enabled(Codec::kBinary, true);
    if (binary == codec.enabled(Codec::kBinary, false) && !expected.crPending) {
        const Codec::Decoded back = codec.decode(codec.encode(once));
        check(back.data == once, "decode(encode(x)) is not x");
        check(back.replies.isEmpty() && back.events.empty(), "encoded data reads as a command");
    }
    const auto command =
        static_cast<quint8>(Codec::kServerOffset + (once.isEmpty() ? 0 : quint8(once[0]) % 100));
    const QByteArray value = once.left(255);
    const Codec::Decoded framed = codec.decode(Codec::comPort(command, value));
    check(framed.data.isEmpty() && framed.replies.isEmpty(), "a framed answer gives data");
    const bool notice = command == Codec::kServerOffset + Codec::kNotifyLineState ||
                        command == Codec::kServerOffset + Codec::kNotifyModemState;
    check(framed.events.size() == (notice ? 0u : 1u), "a framed answer is not one event");
    if (!notice)
        check(sameEvent(framed.events[0],
                        {Codec::Event::ComPort, Codec::kComPortOption, false, command, value}),
              "a framed answer comes out changed");
    return 0;
}
