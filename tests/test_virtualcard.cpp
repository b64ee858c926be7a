#include "tests/suites.h"
#include "tests/support/golden.h"
#include "virtualcard/carriedtext.h"
#include "virtualcard/framereader.h"

#include <QTest>

// The virtual card's own reading of the line, which holds the tool's encoders to account: the
// frames it finds in the bytes however they are split, and the texts it decodes back.

namespace {

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

// One piece as a line: what it is, whom it is for, and what it holds.
QString described(const ReceivedFrame &f) {
    using Kind = ReceivedFrame::Kind;
    switch (f.kind) {
    case Kind::Restart:
        return QStringLiteral("restart %1").arg(f.address);
    case Kind::ModifySettings:
        return QStringLiteral("settings %1: %2 %3 %4 %5 %6")
            .arg(f.address)
            .arg(f.values[0])
            .arg(f.values[1])
            .arg(f.values[2])
            .arg(f.values[3])
            .arg(f.values[4]);
    case Kind::InitialText:
        return QStringLiteral("initial %1: %2").arg(f.address).arg(f.carried.toHex());
    case Kind::DisplayText:
        return QStringLiteral("display %1: %2").arg(f.address).arg(f.carried.toHex());
    case Kind::UnknownLetter:
        return QStringLiteral("unknown %1: %2").arg(f.address).arg(f.letter, 2, 16);
    case Kind::Broken:
        return QStringLiteral("broken %1: %2").arg(f.address).arg(f.problem);
    case Kind::Noise:
        return QStringLiteral("noise: %1").arg(f.raw.toHex());
    }
    return {};
}

// What the reader makes of the bytes fed in these chunks; noise that came in several chunks
// counts as one piece. Every byte must be in exactly one piece, in order.
QStringList readInChunks(const QByteArray &bytes, const QList<qsizetype> &cuts) {
    FrameReader reader;
    std::vector<ReceivedFrame> pieces;
    qsizetype from = 0;
    for (const qsizetype cut : cuts + QList<qsizetype>{bytes.size()}) {
        for (ReceivedFrame &f : reader.feed(bytes.mid(from, cut - from))) {
            if (f.kind == ReceivedFrame::Kind::Noise && !pieces.empty() &&
                pieces.back().kind == ReceivedFrame::Kind::Noise)
                pieces.back().raw += f.raw;
            else
                pieces.push_back(std::move(f));
        }
        from = cut;
    }
    QStringList out;
    QByteArray raw;
    for (const ReceivedFrame &f : pieces) {
        out << described(f);
        raw += f.raw;
    }
    if (raw != bytes)
        out << QStringLiteral("bytes lost or doubled: %1").arg(raw.toHex());
    return out;
}

} // namespace

class VirtualCardTest : public QObject {
    Q_OBJECT
  private slots:
    void frames_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("pieces");
        for (const GoldenRestart &g : goldenRestarts())
            QTest::newRow(g.name) << g.frame
                                  << QStringList{QStringLiteral("restart %1").arg(g.address)};
        for (const GoldenSettings &g : goldenSettings()) {
            const SettingsValues &v = g.values;
            QTest::newRow(g.name) << g.frame
                                  << QStringList{QStringLiteral("settings %1: %2 %3 %4 %5 %6")
                                                     .arg(g.address)
                                                     .arg(v.newAddress)
                                                     .arg(v.rows)
                                                     .arg(v.charsPerRow)
                                                     .arg(v.polarityFlags)
                                                     .arg(v.scanMode)};
        }
        const auto row = [](const char *name, const char *bytes, const QStringList &pieces) {
            QTest::newRow(name) << hex(bytes) << pieces;
        };
        row("initial text", "81c0530b0b0b06411a", {"initial 1: 0b0b0b0641"});
        row("display text to 200", "88c34441421a", {"display 200: 4142"});
        row("empty display text", "81c0441a", {"display 1: "});
        row("unknown letter skipped to the terminator", "82c05a01021a", {"unknown 2: 5a"});
        row("garbage before a frame", "00417f1ac3581a81c0581a",
            {"noise: 00417f1ac3581a", "restart 1"});
        row("garbage between frames", "81c0581a0d0a82c0581a",
            {"restart 1", "noise: 0d0a", "restart 2"});
        row("a text ends at its first 0x1A", "81c053411a421a", {"initial 1: 41", "noise: 421a"});
        row("address byte 1 missing", "8141581a",
            {"broken -1: address byte 1 missing", "noise: 581a"});
        row("no command letter", "81c01a", {"broken 1: no command letter"});
        row("restart goes on", "81c058411a",
            {"broken 1: restart frame goes on after the letter", "noise: 1a"});
        row("settings go on after five values", "81c041101010101010",
            {"broken 1: settings frame goes on after five values"});
        row("second byte of a pair not a nibble", "81c0410a20",
            {"broken 1: second byte of a value pair is not a nibble"});
        row("bit 7 after the address", "81c05341c31a",
            {"broken 1: a byte with bit 7 set after the address", "noise: 1a"});
        row("a frame cut short costs not the next", "81c0534182c0581a",
            {"broken 1: a new frame began before the terminator", "restart 2"});
    }
    // Whole, cut in two at every place, and a byte at a time: the same pieces.
    void frames() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, pieces);
        QCOMPARE(readInChunks(bytes, {}), pieces);
        QList<qsizetype> everyByte;
        for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
            everyByte << cut;
            const QStringList got = readInChunks(bytes, {cut});
            QVERIFY2(got == pieces, qPrintable(QStringLiteral("cut at %1: ").arg(cut) +
                                               got.join(QStringLiteral(" | "))));
        }
        QCOMPARE(readInChunks(bytes, everyByte), pieces);
    }

    // A frame stays open until its terminator: nothing is reported for its first part.
    void unfinishedFrameWaits() {
        FrameReader reader;
        QVERIFY(reader.feed(hex("81c053410b")).empty());
        const std::vector<ReceivedFrame> got = reader.feed(hex("0b0b061a"));
        QCOMPARE(got.size(), std::size_t(1));
        QCOMPARE(described(got[0]), QStringLiteral("initial 1: 410b0b0b06"));
    }

    // The golden texts the code page can hold whole, and the readings where the carried bytes
    // could be split more than one way.
    void textsDecodedBack_data() {
        QTest::addColumn<QByteArray>("carried");
        QTest::addColumn<QString>("text");
        for (const GoldenText &g : goldenTexts()) {
            const QByteArray carried = g.frame.mid(3, g.frame.size() - 4);
            if (carried.contains('?') || carried.contains(char(0x1A)))
                continue; // a substituted character or a text cut short by its terminator
            QTest::newRow(g.name) << carried << g.text;
        }
        const auto row = [](const char *name, const char *carried, const QString &text) {
            QTest::newRow(name) << hex(carried) << text;
        };
        row("CR and LF alone", "410d420a43", QStringLiteral("A\rB\nC"));
        row("CR LF between Chinese, not 0xDA", "0b0b0b060d0a0b0b0b06", QStringLiteral("欢\r\n欢"));
        row("lead 0xDA, trail in nibbles", "0d0a0a0c", QStringLiteral("诂"));
        row("CR LF and @, not 0xDA with trail @", "0d0a40", QStringLiteral("\r\n@"));
    }
    void textsDecodedBack() {
        QFETCH(QByteArray, carried);
        QFETCH(QString, text);
        QCOMPARE(TextFromCarried(carried), text);
    }
};

STRAVIK_SUITE("virtualcard", VirtualCardTest);
#include "test_virtualcard.moc"
