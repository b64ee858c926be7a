#include "serial/telnetcodec.h"
#include "tests/suites.h"

#include <QTest>

namespace {

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

// The client's opening, written out: WILL COM-PORT-OPTION, then BINARY and SUPPRESS-GO-AHEAD
// offered and asked for.
const QByteArray kOpening = hex("fffb2c fffb00 fffd00 fffb03 fffd03");

QString describe(const TelnetCodec::Event &e) {
    if (e.kind == TelnetCodec::Event::ComPort)
        return QStringLiteral("com %1 %2").arg(e.command).arg(QString::fromLatin1(e.value.toHex()));
    return QStringLiteral("%1 %2 %3")
        .arg(e.kind == TelnetCodec::Event::Enabled ? "on" : "off")
        .arg(e.option)
        .arg(e.local ? "local" : "server");
}

} // namespace

class TelnetTest : public QObject {
    Q_OBJECT
  private slots:
    // Reads from the server, one chunk per read, then data sent: what the codec makes of them.
    void codec_data() {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QByteArray>("send");
        QTest::addColumn<QByteArray>("wire");

        const auto row = [](const char *name, QByteArrayList reads, const char *data,
                            const char *replies, QStringList events, const char *send = "",
                            const char *wire = "") {
            QTest::newRow(name) << reads << hex(data) << hex(replies) << events << hex(send)
                                << hex(wire);
        };
        row("0xFF undoubled in, doubled out", {hex("ffff41ffff")}, "ff41ff", "", {}, "ff00ff1a",
            "ffff00ffff1a");
        row("IAC split at the end of a read", {hex("41ff"), hex("ff42ff"), hex("fb01")}, "41ff42",
            "fffe01", {});
        row("subnegotiation across reads",
            {hex("fffa2c"), hex("65000025"), hex("80ff"), hex("f043")}, "43", "",
            {"com 101 00002580"});
        row("0xFF doubled inside a subnegotiation", {hex("fffa2c650000ffffffffff"), hex("f0")}, "",
            "", {"com 101 0000ffff"});
        row("NUL after CR is data in binary mode", {hex("fffb00fffd00"), hex("0d"), hex("000d0a")},
            "0d000d0a", "", {"on 0 server", "on 0 local"}, "0d00", "0d00");
        row("CR NUL is a CR outside binary mode", {hex("0d"), hex("0041")}, "0d41", "", {}, "0d",
            "0d00");
        row("unknown options refused", {hex("fffd18fffb01fffd1f")}, "", "fffc18fffe01fffc1f", {});
        row("answers to our own requests are not answered",
            {hex("fffd2cfffd00fffb00fffb03fffd03fffd03")}, "", "",
            {"on 44 local", "on 0 local", "on 0 server", "on 3 server", "on 3 local"});
        row("COM-PORT-OPTION refused", {hex("fffe2c")}, "", "", {"off 44 local"});
        row("NOTIFY-LINESTATE and NOTIFY-MODEMSTATE ignored",
            {hex("fffa2c6a60fff041fffa2c"), hex("6b30fff0")}, "41", "", {});
        row("bare commands are not data", {hex("41fff142fff943")}, "414243", "", {});
    }

    void codec() {
        QFETCH(QByteArrayList, reads);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, replies);
        QFETCH(QStringList, events);
        QFETCH(QByteArray, send);
        QFETCH(QByteArray, wire);

        TelnetCodec codec;
        QCOMPARE(codec.start().toHex(' '), kOpening.toHex(' '));
        TelnetCodec::Decoded got;
        QStringList gotEvents;
        for (const QByteArray &read : reads) {
            const TelnetCodec::Decoded part = codec.decode(read);
            got.data += part.data;
            got.replies += part.replies;
            for (const TelnetCodec::Event &e : part.events)
                gotEvents << describe(e);
        }
        QCOMPARE(got.data.toHex(' '), data.toHex(' '));
        QCOMPARE(got.replies.toHex(' '), replies.toHex(' '));
        QCOMPARE(gotEvents, events);
        QCOMPARE(codec.encode(send).toHex(' '), wire.toHex(' '));
    }
};

STRAVIK_SUITE("telnet", TelnetTest);
#include "test_telnet.moc"
