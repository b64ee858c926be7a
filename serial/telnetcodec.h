#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <vector>

// The client side of a Telnet connection to a serial device server with COM-PORT-OPTION:
// takes the received stream apart into data, the answers owed to the server and what the
// negotiation settled, and frames outgoing data and commands. Pure: no sockets, no timers;
// the state carries across reads, so a command may be split anywhere.
class TelnetCodec {
  public:
    static constexpr quint8 kIac = 0xFF;
    static constexpr quint8 kDont = 0xFE;
    static constexpr quint8 kDo = 0xFD;
    static constexpr quint8 kWont = 0xFC;
    static constexpr quint8 kWill = 0xFB;
    static constexpr quint8 kSb = 0xFA;
    static constexpr quint8 kSe = 0xF0;
    static constexpr quint8 kCr = 0x0D;
    static constexpr quint8 kNul = 0x00;

    static constexpr quint8 kBinary = 0;
    static constexpr quint8 kSuppressGoAhead = 3;
    static constexpr quint8 kComPortOption = 44;

    // COM-PORT-OPTION commands of the client; the server answers each with kServerOffset added.
    static constexpr quint8 kSetBaudRate = 1;
    static constexpr quint8 kSetDataSize = 2;
    static constexpr quint8 kSetParity = 3;
    static constexpr quint8 kSetStopSize = 4;
    static constexpr quint8 kNotifyLineState = 6;
    static constexpr quint8 kNotifyModemState = 7;
    static constexpr quint8 kPurgeData = 12;
    static constexpr quint8 kServerOffset = 100;

    // PURGE-DATA values: the server's buffer of what the device sent, of what goes to it.
    static constexpr quint8 kPurgeReceive = 1;
    static constexpr quint8 kPurgeTransmit = 2;
    static constexpr quint8 kPurgeBoth = 3;

    struct Event {
        enum Kind {
            Enabled, // an option is on, on our side (local) or the server's
            Refused, // an option is off: refused, or switched off
            ComPort, // a COM-PORT-OPTION answer of the server: command (client code + 100), value
        };
        Kind kind = Enabled;
        quint8 option = 0;
        bool local = false;
        quint8 command = 0;
        QByteArray value;
    };

    struct Decoded {
        QByteArray data;    // the bytes the device sent
        QByteArray replies; // to send back to the server
        std::vector<Event> events;
    };

    // The client's opening: WILL COM-PORT-OPTION, and BINARY and SUPPRESS-GO-AHEAD both ways.
    QByteArray start();
    Decoded decode(QByteArrayView bytes);
    // Data for the wire: 0xFF doubled, and CR followed by NUL while we do not send binary.
    QByteArray encode(QByteArrayView data) const;
    // IAC SB COM-PORT-OPTION command value IAC SE, 0xFF in the value doubled.
    static QByteArray comPort(quint8 command, QByteArrayView value);

    bool enabled(quint8 option, bool local) const;

  private:
    enum class Side : quint8 { No, WantYes, Yes };
    enum class State { Data, Iac, Verb, SbOption, SbData, SbIac };

    void negotiate(quint8 verb, quint8 option, Decoded &out);
    void afterIac(quint8 b, Decoded &out);
    void endSubnegotiation(Decoded &out);

    std::array<Side, 256> us_{};
    std::array<Side, 256> him_{};
    State state_ = State::Data;
    quint8 verb_ = 0;
    quint8 sbOption_ = 0;
    QByteArray sb_;
    bool afterCr_ = false;
};
