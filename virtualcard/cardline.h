#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// The card's end of the serial line: the master of a new pseudo-terminal, whose slave the
// tool opens as its port, a serial device (a loop-back cable to the tool's port), or a raw TCP
// device server that the tool reaches at tcp://HOST:PORT (on Windows only the last). A serial line
// is raw, 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control. Bytes are read when the
// descriptor or the connection becomes readable, never by polling.
class CardLine : public QObject {
    Q_OBJECT
  public:
    explicit CardLine(QObject *parent = nullptr);
    ~CardLine() override;

    // Opens a pseudo-terminal pair; path() then names the slave. The slave stays open here
    // too, so the line does not hang up while the tool has its port closed.
#ifdef Q_OS_UNIX
    bool openPseudoTerminal(QString *error);
    bool openDevice(const QString &path, QString *error);
#endif
    // Serves the line as a raw device server on [HOST:]PORT (HOST 127.0.0.1 when left out,
    // PORT 0 for any free one); path() then names it as tcp://HOST:PORT. One client at a time
    // is the line, as one tool holds a device server's port; the next one waits for it to
    // leave. What the cards send while no client is there is dropped, as on an idle line.
    bool listen(const QString &hostPort, QString *error);

    QString path() const {
        return path_;
    }

    // Queues bytes for sending; they go out as the line takes them.
    void write(const QByteArray &bytes);

    // Sends every chunk received straight back before it is handed on, as a two-wire RS-485
    // adapter does whose receiver hears its own transmitter: the tool finds its frame in
    // front of the answer.
    void setEcho(bool on) {
        echo_ = on;
    }

  signals:
    void received(const QByteArray &bytes);
    // The device went away (read error or end of file); nothing more will be received.
    void lost(const QString &reason);

  private:
#ifdef Q_OS_UNIX
    bool attach(int fd, QString *error);
    void readReady();
    void writeReady();
#endif
    void deliver(const QByteArray &bytes);
    void takeNextClient();

    bool echo_ = false;
    QString path_;
#ifdef Q_OS_UNIX
    int fd_ = -1;
    int slave_ = -1;
    QByteArray pending_;
    QSocketNotifier *readNotifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;
#endif
    QTcpServer *server_ = nullptr;
    QTcpSocket *client_ = nullptr;
};
