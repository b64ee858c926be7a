#include "virtualcard/cardline.h"
#include "virtualcard/cardwindow.h"
#include "virtualcard/virtualcard.h"

#include <QApplication>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <variant>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// The line a card serves: on Unix a pseudo-terminal unless told otherwise; on Windows, which
// has none, a raw TCP device server at a fixed local address that the Start-menu entry uses
// too, so that a technician types the same tcp:// address into 串口 every time.
#ifdef Q_OS_UNIX
const char kUsage[] =
    R"(Usage: virtual-card [--headless] [--cards LIST] [--device PATH | --listen [HOST:]PORT]
                    [--echo] [--help]

Acts as one or more LED display control cards on one serial line, so that the tool can be
tried without hardware. It opens a pseudo-terminal pair and prints its slave as the first
line on standard output:

    slave: /dev/pts/3

Open that device as the tool's port (scripts/with-virtual-card routes COM1 to it). The line
is raw, 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control.

Options:
  --headless      no window: print one line per frame received and the state of each card
                  it changed, for scripts and tests (see "Output" below).
  --cards LIST    the addresses of the cards on the line, comma separated, each 1..255 and
                  each once (default: 1). The first card is the one that answers a restart
                  sent to address 0.
  --device PATH   use this serial device instead of a pseudo-terminal, for instance one end
                  of a null-modem cable whose other end is the tool's port. The first line is
                  then "device: PATH".
  --listen [HOST:]PORT
                  serve the line as a raw TCP device server instead (HOST 127.0.0.1 when
                  left out, PORT 0 for any free one); the tool reaches it at
                  --port tcp://HOST:PORT or with that address typed into 串口. One client at
                  a time; the next waits until it leaves. The first line is then
                  "listen: tcp://HOST:PORT".
  --echo          the line echoes like a two-wire RS-485 adapter: every byte the tool sends
                  comes back to it at once, before any answer (the tool drops its own
                  restart frame in front of the card's answer).
  --help          this text.
)";
#else
const char kDefaultListen[] = STRAVIK_VIRTUAL_CARD_LISTEN;
const char kUsage[] =
    R"(Usage: virtual-card [--headless] [--cards LIST] [--listen [HOST:]PORT] [--echo] [--help]

Acts as one or more LED display control cards on one serial line, so that the tool can be
tried without hardware. The line is a raw TCP device server on )" STRAVIK_VIRTUAL_CARD_LISTEN
    R"( (or where
--listen says), serving one client at a time; the next waits until it leaves. The first line
on standard output names it:

    listen: tcp://)" STRAVIK_VIRTUAL_CARD_LISTEN R"(

Type that address into the tool's 串口, or give it as stravik-cli --port tcp://HOST:PORT.

Options:
  --headless      no window: print one line per frame received and the state of each card
                  it changed, for scripts and tests (see "Output" below).
  --cards LIST    the addresses of the cards on the line, comma separated, each 1..255 and
                  each once (default: 1). The first card is the one that answers a restart
                  sent to address 0.
  --listen [HOST:]PORT
                  listen there instead (HOST 127.0.0.1 when left out, PORT 0 for any free
                  one).
  --echo          the line echoes like a two-wire RS-485 adapter: every byte the tool sends
                  comes back to it at once, before any answer (the tool drops its own
                  restart frame in front of the card's answer).
  --help          this text.
)";
#endif

const char kHelp[] =
    R"(
What the cards do. Every card starts with rows 1, 4 characters per row, polarity flags 0,
scan mode 0 (half screen) and empty texts. A frame is two address bytes (0x80 + low six bits
of the address, 0xC0 + top two bits), a command letter, the payload and the terminator 0x1A;
address 0 reaches every card.
  A  modify settings: new address, rows, characters per row, polarity flags (bit 0 data,
     bit 4 OE polarity forward), scan mode (1 full screen). Each value 16..127 is one byte,
     any other value a high and a low nibble byte. Applied to the card addressed, or to every
     card for address 0 (which then all share the new address).
  X  restart: the card shows its initial text again and, 10 ms later, sends its present
     address, rows, characters per row, polarity flags and scan mode, encoded as in A.
     For address 0 only the first card answers, so answers never collide.
  S  initial display text;  D  display text (shown until the next restart). The payload is
     the text in code page 936, each byte of 0x80 or more as two nibble bytes.
Frames for addresses without a card, unknown letters, broken frames and bytes between
frames are reported and otherwise ignored; the next good frame is taken as usual.

Ambiguities of the wire format, and how they are read here:
  - A text byte 0x1A travels unchanged, so in S and D frames the first 0x1A ends the frame:
    a text that contains the character U+001A is cut there, and its rest counts as noise.
    (In A frames a value of 26 is the byte 0x1A too; there the five values are read by their
    encoding first, so it is taken as a value.)
  - The nibble bytes of a Chinese character can also be read as tabs, CR and LF (0D 0A
    is also the pair of 0xDA). Texts are read the most plausible way: ASCII, tabs and
    CR LF line breaks first, then Chinese characters, then a lone CR or LF; so a character
    whose nibbles read as tabs and CR LF pairs (09, 0D 0A) shows as those.

Output (--headless), one line each after the first above, flushed at once:
  81 C0 58 1A  restart card 1
  card 1: rows 1 chars 4 flags 0x00 scan 0 initial "" text "" shows initial
  card 1 answers: 00 01 00 01 00 04 00 00 00 00
The frame in hex comes first, then two blanks and its meaning; after it, the state of each
card the frame reached. Texts are quoted, with \r, \n, \t, \" and \\ escaped.

The window shows the display of the first card (or the one chosen) as an LED dot matrix,
16 x 16 dots per Chinese and 8 x 16 per ASCII character, the card's settings beside it and
the frames received with their meaning.
)";

void printLine(const QString &line) {
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void fail(const QString &message) {
    std::fprintf(stderr, "virtual-card: %s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

struct Options {
    bool headless = false;
    std::vector<int> cards{1};
    QString device;
#ifdef Q_OS_UNIX
    QString listen;
#else
    QString listen = QString::fromLatin1(kDefaultListen);
#endif
    bool echo = false;
};

std::optional<std::vector<int>> parseCards(const QString &list) {
    std::vector<int> out;
    std::set<int> seen;
    for (const QString &item : list.split(QLatin1Char(','))) {
        bool ok = false;
        const int a = item.trimmed().toInt(&ok);
        if (!ok || a < 1 || a > 255 || !seen.insert(a).second)
            return std::nullopt;
        out.push_back(a);
    }
    return out;
}

// Returns the options, or an exit code: 0 after --help, 2 for a bad command line.
std::variant<Options, int> parseArguments(int argc, char *argv[]) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == QLatin1String("--headless")) {
            options.headless = true;
        } else if (arg == QLatin1String("--echo")) {
            options.echo = true;
        } else if (arg == QLatin1String("--cards") && hasValue) {
            const auto cards = parseCards(QString::fromLocal8Bit(argv[++i]));
            if (!cards) {
                fail(QStringLiteral("--cards wants distinct addresses 1..255, comma separated"));
                return 2;
            }
            options.cards = *cards;
#ifdef Q_OS_UNIX
        } else if (arg == QLatin1String("--device") && hasValue) {
            options.device = QString::fromLocal8Bit(argv[++i]);
#endif
        } else if (arg == QLatin1String("--listen") && hasValue) {
            options.listen = QString::fromLocal8Bit(argv[++i]);
        } else {
            fail(QStringLiteral("unknown or incomplete option: %1 (see --help)").arg(arg));
            return 2;
        }
    }
    if (!options.device.isEmpty() && !options.listen.isEmpty()) {
        fail(QStringLiteral("--device and --listen are two kinds of line: give one"));
        return 2;
    }
    return options;
}

void printStates(const VirtualCard &card, const std::vector<int> &which) {
    for (const int i : which)
        printLine(CardBank::describe(card.bank().cards()[std::size_t(i)]));
}

} // namespace

int main(int argc, char *argv[]) {
#ifdef Q_OS_WIN
    // The lines are UTF-8; a console left on code page 936 would show the texts garbled.
    ::SetConsoleOutputCP(CP_UTF8);
#endif
    const auto parsed = parseArguments(argc, argv);
    if (const int *code = std::get_if<int>(&parsed))
        return *code;
    const Options &options = std::get<Options>(parsed);

    std::unique_ptr<QCoreApplication> app;
    if (options.headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);

    CardLine line;
    line.setEcho(options.echo);
    QString error;
#ifdef Q_OS_UNIX
    const bool opened = !options.listen.isEmpty()   ? line.listen(options.listen, &error)
                        : !options.device.isEmpty() ? line.openDevice(options.device, &error)
                                                    : line.openPseudoTerminal(&error);
#else
    const bool opened = line.listen(options.listen, &error);
#endif
    if (!opened) {
        fail(error);
        return 1;
    }
    const QString kind = !options.listen.isEmpty()   ? QStringLiteral("listen")
                         : !options.device.isEmpty() ? QStringLiteral("device")
                                                     : QStringLiteral("slave");
    printLine(QStringLiteral("%1: %2").arg(kind, line.path()));

    VirtualCard card(line, options.cards);
    QObject::connect(&line, &CardLine::lost, app.get(), [](const QString &reason) {
        fail(QStringLiteral("line lost: %1").arg(reason));
        QCoreApplication::exit(1);
    });

    std::unique_ptr<CardWindow> window;
    if (options.headless) {
        QObject::connect(&card, &VirtualCard::frameHandled, [&card](const FrameReport &r) {
            printLine(QStringLiteral("%1  %2").arg(CardBank::hex(r.raw), r.meaning));
            printStates(card, r.changed);
        });
        QObject::connect(&card, &VirtualCard::replySent,
                         [&card](int index, const QByteArray &reply) {
                             printLine(QStringLiteral("card %1 answers: %2")
                                           .arg(card.bank().cards()[std::size_t(index)].address)
                                           .arg(CardBank::hex(reply)));
                         });
    } else {
        window = std::make_unique<CardWindow>(card, line.path());
        window->show();
    }
    return app->exec();
}
