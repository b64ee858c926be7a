#include "virtualcard/cardbank.h"

#include "virtualcard/carriedtext.h"

using namespace cardwire;

CardBank::CardBank(const std::vector<int> &addresses) {
    for (const int a : addresses) {
        CardState card;
        card.address = a;
        cards_.push_back(card);
    }
}

std::vector<int> CardBank::addressed(int address) const {
    std::vector<int> out;
    for (std::size_t i = 0; i < cards_.size(); ++i)
        if (address == kBroadcast || cards_[i].address == address)
            out.push_back(static_cast<int>(i));
    return out;
}

QString CardBank::whom(int address) const {
    return address == kBroadcast ? QStringLiteral("all cards (broadcast)")
                                 : QStringLiteral("card %1").arg(address);
}

namespace {

int gbkLength(const QString &text) {
    return static_cast<int>(EncodeCodePage936(text).size());
}

// 0x11: two hexadecimal digits, upper case.
QString byteText(int value) {
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

FrameReport CardBank::apply(const ReceivedFrame &frame) {
    FrameReport report;
    report.raw = frame.raw;
    using Kind = ReceivedFrame::Kind;
    switch (frame.kind) {
    case Kind::Noise:
    case Kind::Broken:
    case Kind::UnknownLetter:
        report.meaning = ignored(frame);
        return report;
    case Kind::Restart:
        report.changed = addressed(frame.address);
        restart(frame, report);
        break;
    case Kind::ModifySettings:
        report.changed = addressed(frame.address);
        modifySettings(frame, report);
        break;
    case Kind::InitialText:
    case Kind::DisplayText:
        report.changed = addressed(frame.address);
        storeText(frame, report);
        break;
    }
    if (report.changed.empty())
        report.meaning += QStringLiteral(": no card at this address");
    return report;
}

QString CardBank::ignored(const ReceivedFrame &frame) const {
    switch (frame.kind) {
    case ReceivedFrame::Kind::Broken:
        return QStringLiteral("broken frame, ignored: %1").arg(frame.problem);
    case ReceivedFrame::Kind::UnknownLetter:
        return QStringLiteral("unknown command letter %1 for %2, ignored")
            .arg(byteText(frame.letter))
            .arg(whom(frame.address));
    default:
        return QStringLiteral("noise between frames, ignored");
    }
}

void CardBank::restart(const ReceivedFrame &frame, FrameReport &report) {
    report.meaning = QStringLiteral("restart %1").arg(whom(frame.address));
    for (const int i : report.changed)
        cards_[std::size_t(i)].showsDisplayText = false;
    // On the broadcast address only the first card answers, so replies never collide.
    if (!report.changed.empty()) {
        report.answering = report.changed.front();
        report.reply = EncodeReply(cards_[std::size_t(report.answering)]);
    }
}

void CardBank::modifySettings(const ReceivedFrame &frame, FrameReport &report) {
    const auto &v = frame.values;
    report.meaning =
        QStringLiteral("modify settings of %1: address %2 rows %3 chars %4 flags %5 scan %6")
            .arg(whom(frame.address))
            .arg(v[0])
            .arg(v[1])
            .arg(v[2])
            .arg(byteText(v[3]))
            .arg(v[4]);
    for (const int i : report.changed) {
        CardState &card = cards_[std::size_t(i)];
        card.address = v[0];
        card.rows = v[1];
        card.charsPerRow = v[2];
        card.polarityFlags = v[3];
        card.scanMode = v[4];
    }
}

void CardBank::storeText(const ReceivedFrame &frame, FrameReport &report) {
    const bool initial = frame.kind == ReceivedFrame::Kind::InitialText;
    const QString text = TextFromCarried(frame.carried);
    report.meaning =
        QStringLiteral("%1 for %2: %3 (%4 bytes)")
            .arg(initial ? QStringLiteral("initial text") : QStringLiteral("display text"))
            .arg(whom(frame.address))
            .arg(quoted(text))
            .arg(gbkLength(text));
    for (const int i : report.changed) {
        CardState &card = cards_[std::size_t(i)];
        if (initial) {
            card.initialText = text;
        } else {
            card.displayText = text;
            card.showsDisplayText = true;
        }
    }
}

QByteArray CardBank::EncodeReply(const CardState &card) {
    QByteArray out;
    for (const int v :
         {card.address, card.rows, card.charsPerRow, card.polarityFlags, card.scanMode}) {
        const int byte = v & 0xFF;
        if (byte >= 0x10 && byte <= 0x7F) {
            out.append(static_cast<char>(byte));
        } else {
            out.append(static_cast<char>(byte >> 4));
            out.append(static_cast<char>(byte & 0x0F));
        }
    }
    return out;
}

QString CardBank::describe(const CardState &card) {
    return QStringLiteral("card %1: rows %2 chars %3 flags %4 scan %5 initial %6 text %7 shows %8")
        .arg(card.address)
        .arg(card.rows)
        .arg(card.charsPerRow)
        .arg(byteText(card.polarityFlags))
        .arg(card.scanMode)
        .arg(quoted(card.initialText))
        .arg(quoted(card.displayText))
        .arg(card.showsDisplayText ? QStringLiteral("text") : QStringLiteral("initial"));
}

QString CardBank::quoted(const QString &text) {
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QStringLiteral("\\\"");
            break;
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out + QLatin1Char('"');
}

QString CardBank::hex(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}
