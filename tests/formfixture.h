#pragma once

#include "protocol/windowops.h"
#include "tests/pty.h"
#include "window/form1.h"
#include "window/lamp.h"

#include <QByteArray>
#include <QList>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

// One message box as the window asked for it.
struct ShownMessage {
    QString text;
    QString title;
    int style = 0;
};

// The window on a pseudo-terminal: COM1 is the pty's slave and every other port a device that
// does not exist, so a switch away from COM1 fails as on a machine without that port. Message
// boxes are recorded and answered with `answer` instead of being shown.
class FormOnPty : public Form1 {
  public:
    explicit FormOnPty(const PtyPair &pty)
        : Form1([path = pty.slavePath()](int number) {
              return number == 1 ? path : QStringLiteral("/nonexistent/stravik-com%1").arg(number);
          }),
          slavePath_(pty.slavePath()) {}

    int msgBox(const QString &text, const QString &title, int style) override {
        messages.append({text, title, style});
        return answer;
    }

    // Runs the load handler and shows the window as the program does; true when COM1 opened
    // without a message and the lamp turned red.
    bool load() {
        Form_Load();
        show();
        return MSComm1.portOpen() && messages.isEmpty() && spDTR->fillColor() == QColor(255, 0, 0);
    }

    // Everything the port sends from now on, up to a marker written behind it. The marker
    // proves that nothing else is on its way, so an empty result means nothing was sent. With
    // the port closed the marker goes straight into the slave device, bypassing the window.
    QByteArray sentBeforeMarker(PtyPair &pty) {
        static const QByteArray marker = QByteArray::fromHex("7e4d41524b7e");
        if (MSComm1.portOpen()) {
            if (MSComm1.setOutput(marker) != CommResult::Ok)
                return QByteArrayLiteral("<marker not written>");
        } else {
            const int fd = ::open(slavePath_.toLocal8Bit().constData(), O_WRONLY | O_NOCTTY);
            if (fd < 0)
                return QByteArrayLiteral("<slave not opened>");
            const bool written = ::write(fd, marker.constData(), marker.size()) == marker.size();
            ::close(fd);
            if (!written)
                return QByteArrayLiteral("<marker not written>");
        }
        QByteArray got = pty.readUntil(marker);
        if (!got.endsWith(marker))
            return got + QByteArrayLiteral("<no marker>");
        got.chop(marker.size());
        return got;
    }

    // The boxes shown so far, one line each, for comparing against what is expected.
    QStringList shown() const {
        QStringList out;
        for (const ShownMessage &m : messages)
            out << describeMessage(m.title, m.style, m.text);
        return out;
    }

    static QString describeMessage(const QString &title, int style, const QString &text) {
        return QStringLiteral("[%1] style %2: %3").arg(title).arg(style).arg(text);
    }

    QList<ShownMessage> messages;
    int answer = kMsgResultOk;

  private:
    QString slavePath_;
};

// Clicks a button as the operator does.
inline void click(QPushButton *button) {
    QTest::mouseClick(button, Qt::LeftButton);
}
