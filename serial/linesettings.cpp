#include "serial/linesettings.h"

#include <QStringList>

#include <algorithm>

std::optional<LineSettings> LineSettings::parse(const QString &text) {
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return std::nullopt;
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0)
        return std::nullopt;

    const QString parity = parts[1].trimmed().toLower();
    if (parity == u"n")
        s.parity = Parity::None;
    else if (parity == u"e")
        s.parity = Parity::Even;
    else if (parity == u"o")
        s.parity = Parity::Odd;
    else if (parity == u"m")
        s.parity = Parity::Mark;
    else if (parity == u"s")
        s.parity = Parity::Space;
    else
        return std::nullopt;

    s.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 5 || s.dataBits > 8)
        return std::nullopt;

    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        s.stopBits = StopBits::One;
    else if (stop == u"1.5")
        s.stopBits = StopBits::OneAndHalf;
    else if (stop == u"2")
        s.stopBits = StopBits::Two;
    else
        return std::nullopt;
    return s;
}

QString LineSettings::text() const {
    static const char parityLetters[] = {'n', 'o', 'e', 'm', 's'};
    const QString stop = stopBits == StopBits::One          ? QStringLiteral("1")
                         : stopBits == StopBits::OneAndHalf ? QStringLiteral("1.5")
                                                            : QStringLiteral("2");
    return QStringLiteral("%1,%2,%3,%4")
        .arg(baud)
        .arg(QChar::fromLatin1(parityLetters[static_cast<int>(parity)]))
        .arg(dataBits)
        .arg(stop);
}

qint64 LineSettings::timeMs(qint64 bytes) const {
    // Counted in half bits, for one and a half stop bits.
    const int stopHalfBits = stopBits == StopBits::One          ? 2
                             : stopBits == StopBits::OneAndHalf ? 3
                                                                : 4;
    const int halfBits = 2 * (1 + dataBits + (parity == Parity::None ? 0 : 1)) + stopHalfBits;
    return bytes * halfBits * 1000 / (2 * qint64(std::max<qint32>(baud, 1)));
}
