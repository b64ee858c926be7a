#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/golden.h"
#include "tests/support/places.h"
#include "tests/support/pty.h"
#include "texts/messages.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

using namespace std::chrono_literals;

// The built tool as the operator starts it: its own process with COM1 routed to the virtual
// card, in a private mount namespace where the card's pseudo-terminal is bind-mounted over the
// device of COM1. The test drives it through a virtual X server with clicks and keys at the
// window's fixed places, and reads what happened from the card's --headless lines and from the
// screen.
namespace {

// The device that COM1 maps to; the tool opens it as always.
const QString kComOneDevice = QStringLiteral("/dev/ttyS0");

// Runs PROGRAM ARGS with COM1 on the slave, through scripts/route-ports: a private mount
// namespace with the slave over the port's node, every other serial node /dev/null and a private
// /run/lock; the program starts only once the port is the slave.
QStringList routedCommand(const QString &slave, const QString &program, const QStringList &args) {
    return QStringList{QStringLiteral(STRAVIK_ROUTE_PORTS),
                       slave + QStringLiteral(":") + QFileInfo(kComOneDevice).fileName(),
                       QStringLiteral("--"), program}
           << args;
}

// Runs PROGRAM with a /dev of its own (route-ports --own-dev) that holds the given lines at the
// given node names (ttyS0, ttyUSB0, ...), so the tool finds exactly those serial devices.
QStringList ownDevicesCommand(const QList<std::pair<QString, QString>> &lines,
                              const QString &program) {
    QStringList command{QStringLiteral(STRAVIK_ROUTE_PORTS), QStringLiteral("--own-dev")};
    for (const auto &[slave, node] : lines)
        command << slave + QStringLiteral(":") + node;
    return command << QStringLiteral("--") << program;
}

struct Finished {
    bool ok = false; // ended in time with exit code 0
    QByteArray output;
};

// Runs a helper program to its end, within the deadline.
Finished runToEnd(const QStringList &command, const QProcessEnvironment &environment,
                  std::chrono::milliseconds deadline = 15s) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    Finished result;
    if (!process.waitForFinished(int(deadline.count()))) {
        process.kill();
        process.waitForFinished();
        result.output = process.readAll() + "\n(" + command.first().toUtf8() + " timed out)";
        return result;
    }
    result.output = process.readAll();
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

// The window's places that the tests click, type into and look at.
const ControlPlace &kCombo1 = controlPlace("Combo1"); // serial port
const ControlPlace &kCombo2 = controlPlace("Combo2"); // original address
const ControlPlace &kCombo8 = controlPlace("Combo8"); // new address
const ControlPlace &kCombo3 = controlPlace("Combo3");
const ControlPlace &kCombo4 = controlPlace("Combo4");
const ControlPlace &kCombo5 = controlPlace("Combo5");
const ControlPlace &kCombo6 = controlPlace("Combo6");
const ControlPlace &kCombo7 = controlPlace("Combo7");
const ControlPlace &kRichTextBox1 = controlPlace("RichTextBox1");
const ControlPlace &kRichTextBox2 = controlPlace("RichTextBox2");
const ControlPlace &kCommand1 = controlPlace("Command1");
const ControlPlace &kCommand2 = controlPlace("Command2");
const ControlPlace &kCommand6 = controlPlace("Command6");
const ControlPlace &kCommand7 = controlPlace("Command7");
const ControlPlace &kCommand3 = controlPlace("Command3");
const ControlPlace &kLamp = controlPlace("spDTR");

// Where a click lands: inside the typing field of a list (clear of its arrow), the middle of
// anything else.
QPoint target(const ControlPlace &place) {
    const QRect r = place.pixels();
    if (place.list)
        return {r.left() + 30, r.center().y()};
    return r.center();
}

// The text of a list as drawn: inside its frame, without the arrow.
QRect listTextArea(const ControlPlace &place) {
    return place.pixels().adjusted(3, 3, -22, -3);
}

// Chinese characters the tests type. Typed characters that the keyboard map lacks make
// xdotool remap a key for each one, and the tool can read the key before the new map: so they
// are put on spare keys before the tool starts.
const QString kTypedChinese = QStringLiteral("欢迎光临第行");

// A virtual X server of our own, on a display number it picks itself, whose screen is also a
// file: the tests read the window's pixels from it.
class VirtualDisplay {
  public:
    ~VirtualDisplay() {
        if (map_)
            screen_.unmap(map_);
        server_.terminate();
        if (!server_.waitForFinished(5000))
            server_.kill();
        server_.waitForFinished(5000);
    }

    bool start(QString *error) {
        int fds[2];
        if (!dir_.isValid() || ::pipe2(fds, O_CLOEXEC) != 0) {
            *error = QStringLiteral("no temporary directory or pipe");
            return false;
        }
        const int readyRead = fds[0];
        const int readyWrite = fds[1];
        // Xvfb writes its display number to descriptor 3 once it takes connections. It must not
        // reset when its last client leaves (between two tools): a reset refuses the clients
        // that come meanwhile and puts back the keyboard map.
        server_.setChildProcessModifier([readyWrite] {
            if (readyWrite == 3)
                ::fcntl(3, F_SETFD, 0);
            else
                ::dup2(readyWrite, 3);
        });
        server_.setProcessChannelMode(QProcess::MergedChannels);
        server_.start(QStringLiteral("Xvfb"),
                      {QStringLiteral("-displayfd"), QStringLiteral("3"), QStringLiteral("-screen"),
                       QStringLiteral("0"), QStringLiteral("800x600x24"), QStringLiteral("-dpi"),
                       QStringLiteral("96"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                       QStringLiteral("-noreset"), QStringLiteral("-fbdir"), dir_.path()});
        ::close(readyWrite);
        QByteArray number;
        QDeadlineTimer deadline(20s);
        while (!number.endsWith('\n') && !deadline.hasExpired() &&
               server_.state() != QProcess::NotRunning) {
            pollfd p{readyRead, POLLIN, 0};
            char c;
            if (::poll(&p, 1, 50) > 0 && ::read(readyRead, &c, 1) == 1)
                number.append(c);
            server_.waitForFinished(0);
        }
        ::close(readyRead);
        if (!number.endsWith('\n')) {
            *error = QStringLiteral("Xvfb gave no display number: ") +
                     QString::fromLocal8Bit(server_.readAll());
            return false;
        }
        name_ = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(QStringLiteral("DISPLAY"), name_);
        environment_.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment_.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment_.remove(QStringLiteral("XAUTHORITY"));
        environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                            dir_.filePath(QStringLiteral("xdg")));
        QDir(dir_.path()).mkdir(QStringLiteral("xdg"));
        QFile::setPermissions(dir_.filePath(QStringLiteral("xdg")), QFileDevice::ReadOwner |
                                                                        QFileDevice::WriteOwner |
                                                                        QFileDevice::ExeOwner);
        return mapScreen(error) && mapKeys(error) && writeLeakSuppressions(error);
    }

    // For the X clients the tests run.
    QProcessEnvironment environment() const { return environment_; }

    // For the tool: with the X platform it loads libdbus, which keeps a buffer to the end of
    // the process; a tool built with the leak checker would report it when it exits.
    QProcessEnvironment toolEnvironment() const {
        QProcessEnvironment environment = environment_;
        const QString options = environment.value(QStringLiteral("LSAN_OPTIONS"));
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
                           (options.isEmpty() ? QString() : options + QLatin1Char(':')) +
                               QStringLiteral("suppressions=") + suppressions_);
        return environment;
    }

    // What the X server said, for failure messages.
    QString serverLog() {
        log_ += server_.readAll();
        return QString::fromLocal8Bit(log_);
    }

    bool xdotool(const QStringList &args, QByteArray *output = nullptr) {
        const Finished f = runToEnd(QStringList{QStringLiteral("xdotool")} + args, environment_);
        if (output)
            *output = f.output;
        return f.ok;
    }

    // The colour of one pixel of the screen.
    QRgb pixel(QPoint at) const {
        const uchar *p = pixelAt(at);
        return bigEndianPixels_ ? qRgb(p[1], p[2], p[3]) : qRgb(p[2], p[1], p[0]);
    }

    // The pixels of an area of the screen, row after row.
    QByteArray pixels(const QRect &area) const {
        QByteArray out;
        for (int y = area.top(); y <= area.bottom(); ++y)
            out.append(reinterpret_cast<const char *>(pixelAt({area.left(), y})),
                       qsizetype(area.width()) * 4);
        return out;
    }

  private:
    // The screen file holds an X window dump: a header of big-endian 32-bit fields, a colour
    // map, then the pixels, 32 bits each.
    bool mapScreen(QString *error) {
        screen_.setFileName(dir_.filePath(QStringLiteral("Xvfb_screen0")));
        if (!screen_.open(QIODevice::ReadOnly) || !(map_ = screen_.map(0, screen_.size()))) {
            *error = QStringLiteral("cannot map the screen file %1").arg(screen_.fileName());
            return false;
        }
        const auto field = [this](int index) {
            const uchar *p = map_ + 4 * index;
            return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
        };
        const quint32 headerSize = field(0);
        width_ = int(field(4));
        height_ = int(field(5));
        bigEndianPixels_ = field(7) != 0;
        bytesPerLine_ = field(12);
        offset_ = headerSize + field(19) * 12;
        if (field(11) != 32 ||
            offset_ + quint64(bytesPerLine_) * quint64(height_) > quint64(screen_.size())) {
            *error = QStringLiteral("unexpected screen file layout");
            return false;
        }
        return true;
    }

    // Each typed Chinese character on a key of its own (F13 on), the rest of the map as usual.
    bool mapKeys(QString *error) {
        QString symbols;
        for (qsizetype i = 0; i < kTypedChinese.size(); ++i)
            symbols += QStringLiteral("        key <FK%1> { [ U%2 ] };\n")
                           .arg(13 + i)
                           .arg(kTypedChinese[i].unicode(), 4, 16, QLatin1Char('0'));
        QFile keymap(dir_.filePath(QStringLiteral("keymap.xkb")));
        if (!keymap.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write %1").arg(keymap.fileName());
            return false;
        }
        keymap.write(QStringLiteral("xkb_keymap {\n"
                                    "    xkb_keycodes { include \"evdev+aliases(qwerty)\" };\n"
                                    "    xkb_types { include \"complete\" };\n"
                                    "    xkb_compat { include \"complete\" };\n"
                                    "    xkb_symbols {\n"
                                    "        include \"pc+us+inet(evdev)\"\n"
                                    "%1"
                                    "    };\n"
                                    "};\n")
                         .arg(symbols)
                         .toUtf8());
        keymap.close();
        const Finished f = runToEnd({QStringLiteral("xkbcomp"), QStringLiteral("-w"),
                                     QStringLiteral("0"), keymap.fileName(), name_},
                                    environment_);
        if (!f.ok)
            *error = QStringLiteral("xkbcomp: ") + QString::fromLocal8Bit(f.output);
        return f.ok;
    }

    bool writeLeakSuppressions(QString *error) {
        QFile file(dir_.filePath(QStringLiteral("lsan.supp")));
        if (!file.open(QIODevice::WriteOnly) || file.write("leak:libdbus-1.so\n") < 0) {
            *error = QStringLiteral("cannot write %1").arg(file.fileName());
            return false;
        }
        suppressions_ = file.fileName();
        return true;
    }

    const uchar *pixelAt(QPoint at) const {
        const int x = std::clamp(at.x(), 0, width_ - 1);
        const int y = std::clamp(at.y(), 0, height_ - 1);
        return map_ + offset_ + quint64(y) * bytesPerLine_ + quint64(x) * 4;
    }

    QTemporaryDir dir_;
    QProcess server_;
    QByteArray log_;
    QString name_;
    QProcessEnvironment environment_;
    QString suppressions_;
    QFile screen_;
    uchar *map_ = nullptr;
    quint64 offset_ = 0;
    quint32 bytesPerLine_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool bigEndianPixels_ = false;
};

// The tool, started as the operator starts it, with COM1 routed to the card.
class ToolProcess {
  public:
    ToolProcess(VirtualDisplay &display, const QString &slave)
        : ToolProcess(display, routedCommand(slave, stravikProgram(), {})) {}
    ToolProcess(VirtualDisplay &display, const QStringList &command) : display_(display) {
        process_.setProcessEnvironment(display.toolEnvironment());
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(command.first(), command.mid(1));
    }
    ~ToolProcess() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(5000);
    }
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Waits until the window "StravikV3.3" of this process is shown with the lamp red: COM1,
    // the card's line, is open. On failure, says why.
    bool waitForWindow(QString *why) {
        const bool found = waitFor(
            [&] {
                window_ = shownWindow(QStringLiteral("^StravikV3\\.3$"));
                return !window_.isEmpty() || process_.state() == QProcess::NotRunning;
            },
            20s);
        if (!found || window_.isEmpty()) {
            *why = QStringLiteral("the window did not appear; the tool said: %1; the X server "
                                  "said: %2")
                       .arg(output(), display_.serverLog());
            return false;
        }
        QByteArray geometry;
        display_.xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window_},
                         &geometry);
        for (const QByteArray &line : geometry.split('\n')) {
            if (line.startsWith("X="))
                origin_.setX(line.mid(2).toInt());
            else if (line.startsWith("Y="))
                origin_.setY(line.mid(2).toInt());
        }
        const QPoint lamp = origin_ + kLamp.pixels().center();
        if (!waitFor([&] { return display_.pixel(lamp) == qRgb(255, 0, 0); }, 10s)) {
            *why = QStringLiteral("the lamp is not red: COM1 did not open; the tool said: ") +
                   output();
            return false;
        }
        return focus(window_);
    }

    // Gives the keyboard to a window of the tool (there is no window manager to do it).
    bool focus(const QString &window) {
        return display_.xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    }

    bool click(const ControlPlace &place) {
        const QPoint at = origin_ + target(place);
        return display_.xdotool({QStringLiteral("mousemove"), QString::number(at.x()),
                                 QString::number(at.y()), QStringLiteral("click"),
                                 QStringLiteral("1")});
    }

    bool key(const QString &keys) { return display_.xdotool({QStringLiteral("key"), keys}); }

    // Types a text as the keyboard gives it: ASCII as typed, a line break as Return, Chinese
    // characters by their keys.
    bool type(const QString &text) {
        QString ascii;
        const auto flush = [&] {
            const bool ok = ascii.isEmpty() || display_.xdotool({QStringLiteral("type"), ascii});
            ascii.clear();
            return ok;
        };
        for (const QChar c : text) {
            if (c.unicode() >= 0x20 && c.unicode() < 0x7F) {
                ascii += c;
                continue;
            }
            if (!flush())
                return false;
            const bool ok =
                c == QLatin1Char('\n')
                    ? key(QStringLiteral("Return"))
                    : key(QStringLiteral("U%1").arg(c.unicode(), 4, 16, QLatin1Char('0')));
            if (!ok)
                return false;
        }
        return flush();
    }

    // Replaces the text of a list or a text box, as the operator does: click, select all, type.
    bool typeInto(const ControlPlace &place, const QString &text) {
        return click(place) && key(QStringLiteral("ctrl+a")) && type(text);
    }

    // Picks the first or the second entry of a two-entry list with the arrow keys.
    bool pickEntry(const ControlPlace &place, int entry) {
        return click(place) && key(entry == 0 ? QStringLiteral("Up") : QStringLiteral("Down"));
    }

    // The message box with this title, once it is shown; an empty string when none came.
    QString waitForBox(const QString &title) {
        QString box;
        waitFor([&] { return !(box = shownWindow(title)).isEmpty(); }, 10s);
        return box;
    }

    // Answers the message box with a key and waits until it is gone and the window has the
    // keyboard again.
    bool answerBox(const QString &title, const QString &keys) {
        const QString box = waitForBox(title);
        if (box.isEmpty() || !focus(box) || !key(keys))
            return false;
        return waitFor([&] { return shownWindow(title).isEmpty(); }, 10s) && focus(window_);
    }

    // The pixels of a list's text as drawn now.
    QByteArray listPixels(const ControlPlace &place) const {
        return display_.pixels(listTextArea(place).translated(origin_));
    }

    bool waitForExit(int *exitCode) {
        if (!waitFor([&] { return process_.state() == QProcess::NotRunning; }, 10s))
            return false;
        *exitCode = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
        return true;
    }

    QString output() {
        output_ += process_.readAll();
        return QString::fromLocal8Bit(output_);
    }

  private:
    // The first shown window of this process whose title matches the pattern, or "".
    QString shownWindow(const QString &titlePattern) {
        QByteArray ids;
        display_.xdotool({QStringLiteral("search"), QStringLiteral("--all"),
                          QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                          QString::number(process_.processId()), QStringLiteral("--name"),
                          titlePattern},
                         &ids);
        return QString::fromLatin1(ids).section(QLatin1Char('\n'), 0, 0).trimmed();
    }

    VirtualDisplay &display_;
    QProcess process_;
    QByteArray output_;
    QString window_;
    QPoint origin_;
};

// The lists whose entries a read-back selects, in the order of the settings.
const std::array<ControlPlace, 5> kSettingsLists{kCombo3, kCombo4, kCombo5, kCombo6, kCombo7};

} // namespace

class OperatorTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        for (const QString &program : {stravikProgram(), cardProgram()})
            if (!QFileInfo(program).isExecutable())
                QSKIP(qPrintable(QStringLiteral("%1 is not built: build the targets stravik and "
                                                "virtual-card")
                                     .arg(program)));
        for (const char *program : {"Xvfb", "xdotool", "xkbcomp", "unshare"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed: the operator tests need the "
                                                "packages xvfb and xdotool (scripts/test installs "
                                                "them)")
                                     .arg(QString::fromLatin1(program))));
        if (!QFileInfo::exists(kComOneDevice))
            QSKIP(qPrintable(QStringLiteral("%1 does not exist here: there is no device to route "
                                            "COM1 over")
                                 .arg(kComOneDevice)));

        // The namespace, the bind mount and the private /run/lock, tried out on a line of our
        // own before any tool is started.
        PtyPair probe;
        QVERIFY(probe.isValid());
        const Finished routed =
            runToEnd(routedCommand(probe.slavePath(), QStringLiteral("true"), {}),
                     QProcessEnvironment::systemEnvironment());
        if (!routed.ok)
            QSKIP(qPrintable(
                QStringLiteral(
                    "COM1 cannot be routed to the virtual card here: that takes a private "
                    "mount namespace with a bind mount over %1 and a tmpfs on /run/lock "
                    "(run as root, or allow unprivileged user namespaces): %2")
                    .arg(kComOneDevice, QString::fromLocal8Bit(routed.output).trimmed())));

        display_ = std::make_unique<VirtualDisplay>();
        QString error;
        QVERIFY2(display_->start(&error), qPrintable(error));
    }

    void cleanupTestCase() { display_.reset(); }

    // The operator changes the settings of card 1, finds it gone from address 1, restarts it at
    // its new address and sees the lists show what it holds: the lists come to look as they did
    // when those values were chosen, and the settings sent from them are the card's own.
    void settingsChangedAndReadBack_data() {
        QTest::addColumn<QString>("newAddress");
        QTest::addColumn<QStringList>("values"); // rows, chars; 0 or 1 for data, OE, scan entry
        QTest::addColumn<QStringList>("others"); // values that the read-back has to replace
        QTest::addColumn<QString>("frame");      // settings frame to card 1
        QTest::addColumn<QString>("state");      // the card's state after it
        QTest::addColumn<QString>("answer");     // its answer to the restart
        QTest::addColumn<QString>("sentBack");   // settings frame sent from the read-back
        QTest::newRow("address 5, 3 rows of 12, both forward, full screen")
            << "5" << QStringList{"3", "12", "0", "0", "1"} << QStringList{"1", "4", "1", "1", "0"}
            << "81 C0 41 00 05 00 03 00 0C 11 00 01 1A"
            << "card 5: rows 3 chars 12 flags 0x11 scan 1"
            << "card 5 answers: 00 05 00 03 00 0C 11 00 01"
            << "85 C0 41 00 05 00 03 00 0C 11 00 01 1A";
        QTest::newRow("address 200, 8 rows of 16, both reverse, half screen")
            << "200" << QStringList{"8", "16", "1", "1", "0"}
            << QStringList{"2", "5", "0", "0", "1"} << "81 C0 41 0C 08 00 08 10 00 00 00 00 1A"
            << "card 200: rows 8 chars 16 flags 0x00 scan 0"
            << "card 200 answers: 0C 08 00 08 10 00 00 00 00"
            << "88 C3 41 0C 08 00 08 10 00 00 00 00 1A";
    }
    void settingsChangedAndReadBack() {
        QFETCH(QString, newAddress);
        QFETCH(QStringList, values);
        QFETCH(QStringList, others);
        QFETCH(QString, frame);
        QFETCH(QString, state);
        QFETCH(QString, answer);
        QFETCH(QString, sentBack);
        CardProcess card;
        QVERIFY2(card.started(), "the virtual card named no pseudo-terminal");
        ToolProcess tool(*display_, card.slavePath());
        QString why;
        QVERIFY2(tool.waitForWindow(&why), qPrintable(why));

        QVERIFY(tool.typeInto(kCombo2, QStringLiteral("1")));
        QVERIFY(tool.typeInto(kCombo8, newAddress));
        QVERIFY(chooseSettings(tool, values));
        qsizetype from = card.lineCount();
        QVERIFY(tool.click(kCommand1));
        QVERIFY2(
            !card.waitForLineStarting(frame + QStringLiteral("  modify settings of card 1: "), from)
                 .isEmpty(),
            qPrintable(card.transcript()));
        QVERIFY2(!card.waitForLineStarting(state + QLatin1Char(' '), from).isEmpty(),
                 qPrintable(card.transcript()));

        // At address 1 nobody answers any more.
        from = card.lineCount();
        QVERIFY(tool.click(kCommand2));
        QVERIFY2(card.waitForLine(
                     QStringLiteral("81 C0 58 1A  restart card 1: no card at this address"), from),
                 qPrintable(card.transcript()));
        // The lists as they look with the card's values chosen.
        std::vector<QByteArray> chosen;
        for (const ControlPlace &list : kSettingsLists)
            chosen.push_back(tool.listPixels(list));

        // Other values in the lists, the new address as the original one, and a restart.
        QVERIFY(tool.typeInto(kCombo2, newAddress));
        QVERIFY(chooseSettings(tool, others));
        const auto listsLookChosen = [&] {
            for (std::size_t i = 0; i < kSettingsLists.size(); ++i)
                if (tool.listPixels(kSettingsLists[i]) != chosen[i])
                    return false;
            return true;
        };
        const auto noListLooksChosen = [&] {
            for (std::size_t i = 0; i < kSettingsLists.size(); ++i)
                if (tool.listPixels(kSettingsLists[i]) == chosen[i])
                    return false;
            return true;
        };
        QVERIFY2(waitFor(noListLooksChosen), "the lists do not show the other values");
        from = card.lineCount();
        QVERIFY(tool.click(kCommand2));
        QVERIFY2(card.waitForLine(answer, from), qPrintable(card.transcript()));
        QVERIFY2(waitFor(listsLookChosen, 10s),
                 "the lists did not come to show the card's settings after the restart");

        // Sent from the lists as the read-back left them, the settings are the card's own, to
        // the address it answered from.
        from = card.lineCount();
        QVERIFY(tool.click(kCommand1));
        QVERIFY2(
            !card.waitForLineStarting(sentBack + QStringLiteral("  modify settings of card "), from)
                 .isEmpty(),
            qPrintable(card.transcript()));
    }

    // Both texts as the operator sends them: the welcome text that start-up puts in the first
    // box, and a typed one with Chinese, ASCII and a line break in the second.
    void textsAreStored() {
        CardProcess card;
        QVERIFY(card.started());
        ToolProcess tool(*display_, card.slavePath());
        QString why;
        QVERIFY2(tool.waitForWindow(&why), qPrintable(why));
        QVERIFY(tool.typeInto(kCombo2, QStringLiteral("1")));

        qsizetype from = card.lineCount();
        QVERIFY(tool.click(kCommand6));
        QVERIFY2(card.waitForLine(
                     cardHex(golden("welcome text")) +
                         QStringLiteral("  initial text for card 1: \"欢迎光临\" (8 bytes)"),
                     from),
                 qPrintable(card.transcript()));

        QVERIFY(tool.typeInto(kRichTextBox2, QStringLiteral("欢迎光临 AB\n第2行")));
        from = card.lineCount();
        QVERIFY(tool.click(kCommand7));
        QVERIFY2(
            !card.waitForLineContaining(
                     QStringLiteral("  display text for card 1: \"欢迎光临 AB\\r\\n第2行\" (18 "
                                    "bytes)"),
                     from)
                 .isEmpty(),
            qPrintable(card.transcript()));
        QVERIFY2(card.waitForLine(QStringLiteral("card 1: rows 1 chars 4 flags 0x00 scan 0 initial "
                                                 "\"欢迎光临\" text \"欢迎光临 AB\\r\\n第2行\" "
                                                 "shows text"),
                                  from),
                 qPrintable(card.transcript()));

        // A new initial text replaces the old one; the display text stays.
        QVERIFY(tool.typeInto(kRichTextBox1, QStringLiteral("Hello 1")));
        from = card.lineCount();
        QVERIFY(tool.click(kCommand6));
        QVERIFY2(card.waitForLine(QStringLiteral("card 1: rows 1 chars 4 flags 0x00 scan 0 initial "
                                                 "\"Hello 1\" text \"欢迎光临 AB\\r\\n第2行\" "
                                                 "shows text"),
                                  from),
                 qPrintable(card.transcript()));
    }

    // Three cards on the line: a cancelled broadcast sends nothing; a confirmed one readdresses
    // all three; on a restart only one answers.
    void broadcastToThreeCards() {
        CardProcess card(QStringLiteral("1,5,200"));
        QVERIFY(card.started());
        ToolProcess tool(*display_, card.slavePath());
        QString why;
        QVERIFY2(tool.waitForWindow(&why), qPrintable(why));

        QVERIFY(tool.typeInto(kCombo2, QStringLiteral("0")));
        QVERIFY(tool.typeInto(kCombo8, QStringLiteral("7")));
        QVERIFY(chooseSettings(tool, {"2", "10", "0", "1", "1"}));

        // Cancelled: the restart after it is the first frame the cards see.
        qsizetype from = card.lineCount();
        QVERIFY(tool.click(kCommand1));
        QVERIFY2(tool.answerBox(msg::kBroadcastTitle, QStringLiteral("Escape")),
                 "no confirmation before the broadcast, or it did not close on Escape");
        QVERIFY(tool.click(kCommand2));
        QVERIFY2(
            card.waitForLine(QStringLiteral("card 1 answers: 00 01 00 01 00 04 00 00 00 00"), from),
            qPrintable(card.transcript()));
        QCOMPARE(card.linesFrom(from).value(0),
                 QStringLiteral("80 C0 58 1A  restart all cards (broadcast)"));
        QCOMPARE(card.count(QStringLiteral("card "), from), 4); // three states, one answer

        // Confirmed with the default button.
        from = card.lineCount();
        QVERIFY(tool.click(kCommand1));
        QVERIFY2(tool.answerBox(msg::kBroadcastTitle, QStringLiteral("Return")),
                 "no confirmation before the broadcast, or it did not close on Return");
        const QString state = QStringLiteral("card 7: rows 2 chars 10 flags 0x01 scan 1 ");
        QVERIFY2(waitFor([&] { return card.count(state, from) == 3; }),
                 qPrintable(card.transcript()));
        QCOMPARE(card.linesFrom(from).value(0),
                 QStringLiteral("80 C0 41 00 07 00 02 00 0A 00 01 00 01 1A  modify settings of all "
                                "cards (broadcast): address 7 rows 2 chars 10 flags 0x01 scan 1"));

        // All three now answer to 7, and one of them answers the restart.
        QVERIFY(tool.typeInto(kCombo2, QStringLiteral("7")));
        from = card.lineCount();
        QVERIFY(tool.click(kCommand2));
        QVERIFY2(card.waitForLineStarting(QStringLiteral("card 7 answers: "), from).size() > 0,
                 qPrintable(card.transcript()));
        QCOMPARE(card.linesFrom(from).value(0), QStringLiteral("87 C0 58 1A  restart card 7"));
        QCOMPARE(card.count(state, from), 3);
        QCOMPARE(card.count(QStringLiteral("card 7 answers: "), from), 1);

        // 退     出 ends the tool.
        QVERIFY(tool.click(kCommand3));
        int exitCode = -1;
        QVERIFY2(tool.waitForExit(&exitCode), "the tool did not end after 退     出");
        QVERIFY2(exitCode == 0, qPrintable(QStringLiteral("exit code %1; the tool said: %2")
                                               .arg(exitCode)
                                               .arg(tool.output())));
    }

    // The machine's serial devices decide the COM numbers: with only an adapter, COM1 is the
    // adapter, opened at start-up without a message, and every command reaches it; with an
    // on-board port and two adapters, COM1, COM2 and COM3 are ttyS0, ttyUSB0 and ttyACM0.
    void comNumbersFromTheDevices_data() {
        QTest::addColumn<QStringList>("nodes"); // COM1, COM2, ... in order
        QTest::newRow("laptop: only ttyUSB0") << QStringList{"ttyUSB0"};
        QTest::newRow("desktop: ttyS0, ttyUSB0, ttyACM0")
            << QStringList{"ttyACM0", "ttyS0", "ttyUSB0"};
    }
    void comNumbersFromTheDevices() {
        QFETCH(QStringList, nodes);
        std::vector<std::unique_ptr<CardProcess>> cards;
        QList<std::pair<QString, QString>> lines;
        for (const QString &node : nodes) {
            cards.push_back(std::make_unique<CardProcess>());
            QVERIFY(cards.back()->started());
            lines.append({cards.back()->slavePath(), node});
        }
        ToolProcess tool(*display_, ownDevicesCommand(lines, stravikProgram()));
        QString why;
        QVERIFY2(tool.waitForWindow(&why), qPrintable(why));

        // In COM order: ttyS first, then ttyUSB, then ttyACM.
        QStringList order = nodes;
        std::sort(order.begin(), order.end(), [](const QString &a, const QString &b) {
            const auto rank = [](const QString &n) {
                return n.startsWith("ttyS") ? 0 : n.startsWith("ttyUSB") ? 1 : 2;
            };
            return rank(a) < rank(b);
        });
        const auto cardOf = [&](const QString &node) -> CardProcess & {
            return *cards[nodes.indexOf(node)];
        };

        // Every command on COM1.
        CardProcess &first = cardOf(order[0]);
        QVERIFY(tool.typeInto(kCombo2, QStringLiteral("1")));
        qsizetype from = first.lineCount();
        QVERIFY(tool.click(kCommand2));
        QVERIFY2(first.waitForLine(QStringLiteral("card 1 answers: 00 01 00 01 00 04 00 00 00 00"),
                                   from),
                 qPrintable(first.transcript()));
        QVERIFY(tool.click(kCommand6));
        QVERIFY2(!first.waitForLineStarting(cardHex(golden("welcome text")) + "  ", from).isEmpty(),
                 qPrintable(first.transcript()));
        QVERIFY(tool.click(kCommand7));
        QVERIFY2(!first.waitForLineStarting("81 C0 44 ", from).isEmpty(),
                 qPrintable(first.transcript()));
        QVERIFY(tool.click(kCommand1));
        QVERIFY2(!first.waitForLineStarting(cardHex(golden("polarity both reverse")) + "  ", from)
                      .isEmpty(),
                 qPrintable(first.transcript()));

        // The next numbers, chosen one after the other in the port list (which starts with no
        // item chosen: the first Down chooses COM1 and opens it again).
        QVERIFY(tool.click(kCombo1));
        QVERIFY(tool.key(QStringLiteral("Down")));
        for (int k = 1; k < order.size(); ++k) {
            QVERIFY(tool.click(kCombo1));
            QVERIFY(tool.key(QStringLiteral("Down")));
            CardProcess &card = cardOf(order[k]);
            from = card.lineCount();
            const qsizetype fromFirst = first.lineCount();
            QVERIFY(tool.click(kCommand2));
            QVERIFY2(card.waitForLineStarting(QStringLiteral("81 C0 58 1A"), from).size() > 0,
                     qPrintable(QStringLiteral("COM%1 (%2) got no restart: %3")
                                    .arg(k + 1)
                                    .arg(order[k], card.transcript())));
            QCOMPARE(first.linesFrom(fromFirst).size(), 0);
        }
    }

  private:
    // Chooses rows and characters per row (typed), and the entries of data polarity, OE
    // polarity and scan mode (0 first, 1 second).
    static bool chooseSettings(ToolProcess &tool, const QStringList &values) {
        return tool.typeInto(kCombo3, values[0]) && tool.typeInto(kCombo4, values[1]) &&
               tool.pickEntry(kCombo5, values[2].toInt()) &&
               tool.pickEntry(kCombo6, values[3].toInt()) &&
               tool.pickEntry(kCombo7, values[4].toInt());
    }

    std::unique_ptr<VirtualDisplay> display_;
};

STRAVIK_SUITE("operator", OperatorTest);

#include "test_operator.moc"
