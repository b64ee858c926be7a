#include "virtualcard/carriedtext.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <limits>
#include <string>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// What one reading of a stretch of carried bytes costs: the lower, the more plausible.
constexpr int kCostPlain = 0;       // printable ASCII, tab, a line break CR LF
constexpr int kCostDoubleByte = 1;  // four nibbles: lead and trail byte both 0x80 or more
constexpr int kCostLoneBreak = 2;   // CR or LF alone: the tool's boxes break lines as CR LF
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
    if ((b >= 0x20 && b <= 0x7E) || b == '\t')
        return kCostPlain;
    if (b == '\r' || b == '\n')
        return kCostLoneBreak;
    return kCostControl;
}

// How the first piece of a reading takes its carried bytes.
enum class Piece : std::uint8_t {
    Plain,       // one byte as itself
    LineBreak,   // CR LF as themselves
    HighSingle,  // a nibble pair: one byte of 0x80 or more
    MixedDouble, // a nibble pair and a trail byte 0x40..0x7E
    DoubleByte,  // two nibble pairs
};

std::size_t pieceLength(Piece piece) {
    switch (piece) {
    case Piece::Plain:
        return 1;
    case Piece::LineBreak:
    case Piece::HighSingle:
        return 2;
    case Piece::MixedDouble:
        return 3;
    case Piece::DoubleByte:
        return 4;
    }
    return 1;
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

    // best[i]: the lowest cost of reading carried[i..n); first[i]: the first piece of that
    // reading.
    constexpr int kNone = std::numeric_limits<int>::max();
    std::vector<int> best(n + 1, kNone);
    std::vector<Piece> first(n + 1, Piece::Plain);
    best[n] = 0;
    for (std::size_t i = n; i-- > 0;) {
        const auto consider = [&](Piece piece, int cost) {
            const std::size_t len = pieceLength(piece);
            if (i + len <= n && best[i + len] != kNone && cost + best[i + len] < best[i]) {
                best[i] = cost + best[i + len];
                first[i] = piece;
            }
        };
        consider(Piece::Plain, plainCost(at(i)));
        if (i + 1 < n && at(i) == '\r' && at(i + 1) == '\n')
            consider(Piece::LineBreak, kCostPlain);
        const int lead = pairAt(i);
        if (lead >= 0) {
            consider(Piece::HighSingle, kCostHighSingle);
            if (isLead(lead)) {
                const int trail = pairAt(i + 2);
                if (trail >= 0x80 && trail <= 0xFE)
                    consider(Piece::DoubleByte, kCostDoubleByte);
                if (i + 2 < n && at(i + 2) >= 0x40 && at(i + 2) <= 0x7E)
                    consider(Piece::MixedDouble, kCostMixedDouble);
            }
        }
    }

    QByteArray bytes;
    for (std::size_t i = 0; i < n; i += pieceLength(first[i])) {
        switch (first[i]) {
        case Piece::Plain:
            bytes.append(static_cast<char>(at(i)));
            break;
        case Piece::LineBreak:
            bytes.append("\r\n");
            break;
        case Piece::HighSingle:
            bytes.append(static_cast<char>(pairAt(i)));
            break;
        case Piece::MixedDouble:
            bytes.append(static_cast<char>(pairAt(i)));
            bytes.append(static_cast<char>(at(i + 2)));
            break;
        case Piece::DoubleByte:
            bytes.append(static_cast<char>(pairAt(i)));
            bytes.append(static_cast<char>(pairAt(i + 2)));
            break;
        }
    }
    return bytes;
}

QString TextFromCarried(const QByteArray &carried) {
    return DecodeCodePage936(TextBytesFromCarried(carried));
}

QString DecodeCodePage936(const QByteArray &bytes) {
    QStringDecoder decoder("GBK");
#ifdef Q_OS_WIN
    if (!decoder.isValid()) {
        const int size = int(bytes.size());
        const int n = ::MultiByteToWideChar(936, 0, bytes.constData(), size, nullptr, 0);
        std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
        if (n > 0)
            ::MultiByteToWideChar(936, 0, bytes.constData(), size, out.data(), n);
        return QString::fromStdWString(out);
    }
#endif
    return decoder.decode(bytes);
}

QByteArray EncodeCodePage936(const QString &text) {
    QStringEncoder encoder("GBK");
#ifdef Q_OS_WIN
    if (!encoder.isValid()) {
        const std::wstring wide = text.toStdWString();
        const int size = int(wide.size());
        const int n =
            ::WideCharToMultiByte(936, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
        QByteArray out(n > 0 ? n : 0, '\0');
        if (n > 0)
            ::WideCharToMultiByte(936, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
        return out;
    }
#endif
    return encoder.encode(text);
}
