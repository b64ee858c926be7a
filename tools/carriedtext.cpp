#include "tools/carriedtext.h"

#include <QStringDecoder>

#include <limits>
#include <vector>

namespace {

// What one reading of a stretch of carried bytes costs: the lower, the more plausible.
constexpr int kCostPlain = 0;       // printable ASCII, tab, CR, LF
constexpr int kCostDoubleByte = 1;  // four nibbles: lead and trail byte both 0x80 or more
constexpr int kCostMixedDouble = 3; // two nibbles, then a trail byte 0x40..0x7E
constexpr int kCostHighSingle = 5;  // a lone byte of 0x80 or more
constexpr int kCostControl = 10;    // any other byte below 0x20, or DEL

bool isHighNibble(std::uint8_t b) {
    return b >= 0x08 && b <= 0x0F;
}

bool isNibble(std::uint8_t b) {
    return b <= 0x0F;
}

bool isLead(int v) {
    return v >= 0x81 && v <= 0xFE;
}

int plainCost(std::uint8_t b) {
    if ((b >= 0x20 && b <= 0x7E) || b == '\t' || b == '\r' || b == '\n')
        return kCostPlain;
    return kCostControl;
}

} // namespace

QByteArray TextBytesFromCarried(const QByteArray &carried) {
    const auto n = static_cast<std::size_t>(carried.size());
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(carried[qsizetype(i)]); };
    // pairAt(i): the byte that the nibble pair at i stands for, or -1.
    const auto pairAt = [&](std::size_t i) {
        return i + 1 < n && isHighNibble(at(i)) && isNibble(at(i + 1)) ? at(i) * 16 + at(i + 1)
                                                                       : -1;
    };

    // best[i]: the lowest cost of reading carried[i..n); step[i]: how many carried bytes the
    // first piece of that reading takes.
    constexpr int kNone = std::numeric_limits<int>::max();
    std::vector<int> best(n + 1, kNone);
    std::vector<int> step(n + 1, 0);
    best[n] = 0;
    for (std::size_t i = n; i-- > 0;) {
        const auto consider = [&](std::size_t len, int cost) {
            if (i + len <= n && best[i + len] != kNone && cost + best[i + len] < best[i]) {
                best[i] = cost + best[i + len];
                step[i] = static_cast<int>(len);
            }
        };
        consider(1, plainCost(at(i)));
        const int lead = pairAt(i);
        if (lead >= 0) {
            consider(2, kCostHighSingle);
            if (isLead(lead)) {
                const int trail = pairAt(i + 2);
                if (trail >= 0x80 && trail <= 0xFE)
                    consider(4, kCostDoubleByte);
                if (i + 2 < n && at(i + 2) >= 0x40 && at(i + 2) <= 0x7E)
                    consider(3, kCostMixedDouble);
            }
        }
    }

    QByteArray bytes;
    for (std::size_t i = 0; i < n; i += static_cast<std::size_t>(step[i])) {
        switch (step[i]) {
        case 1:
            bytes.append(static_cast<char>(at(i)));
            break;
        case 2:
            bytes.append(static_cast<char>(pairAt(i)));
            break;
        case 3:
            bytes.append(static_cast<char>(pairAt(i)));
            bytes.append(static_cast<char>(at(i + 2)));
            break;
        default:
            bytes.append(static_cast<char>(pairAt(i)));
            bytes.append(static_cast<char>(pairAt(i + 2)));
            break;
        }
    }
    return bytes;
}

QString TextFromCarried(const QByteArray &carried) {
    QStringDecoder decoder("GBK");
    return decoder.decode(TextBytesFromCarried(carried));
}
