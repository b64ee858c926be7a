#pragma once

#include "serial/tcpline.h"
#include "serial/telnetcodec.h"

#include <QElapsedTimer>

#include <map>
#include <optional>

// A serial device server in RFC 2217 mode, "rfc2217://HOST:PORT": Telnet with
// COM-PORT-OPTION, through which the line settings are set and the server's buffers purged.
class Rfc2217Line : public TcpLine {
    Q_OBJECT
  public:
    explicit Rfc2217Line(const QString &address);

    bool applySettings(const LineSettings &settings) override;
    bool clearReceived() override;
    bool clearUnsent() override;

  protected:
    QString scheme() const override;
    void beginNegotiation(const LineSettings &settings) override;
    LineStep negotiationStep(NetworkFault *fault) override;
    void take(const QByteArray &bytes) override;
    QByteArray connectionBytes(const QByteArray &data) const override;

  private:
    bool purge(quint8 what);

    TelnetCodec codec_;
    std::optional<bool> comPortTaken_;
    // The server's last answer to each COM-PORT-OPTION command, by the server's code (the client's
    // plus 100).
    std::map<quint8, QByteArray> answers_;
    // Since the requests of the open went out, until the first answer to one of them.
    QElapsedTimer firstAnswer_;
    LineSettings negotiated_; // the settings the open asked for
    QElapsedTimer requestsSent_;
    bool requestsFailed_ = false;
};
