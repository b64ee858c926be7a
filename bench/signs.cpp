// stravik-signs: many signs in one process for scripts/bench-fleet. Each sign is a
// pseudo-terminal with virtual control cards on its master (card 1, and on every K-th sign
// also card 2), all served by one event loop, so that a hundred signs cost one process.
//
//   stravik-signs [--signs N] [--second-card-every K] [--status FILE]
//
// Prints "sign I: SLAVE cards LIST" for each sign, then "ready", and runs until SIGTERM or
// SIGINT. On SIGUSR1 it writes FILE (whole, by a rename) with one line per card:
//
//   sign I card A answers N ignored M | card A: rows 1 chars 4 ... text "..." shows text
//
// answers: restart answers the card sent; ignored: frames and bytes of the sign's line the
// cards ignored (noise, broken frames, unknown letters, frames for no card); after the bar
// everything the card holds, as virtual-card --headless prints it.

#include "virtualcard/cardline.h"
#include "virtualcard/virtualcard.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sign {
    // The line outlives the cards that write to it.
    std::unique_ptr<CardLine> line;
    std::unique_ptr<VirtualCard> cards;
    std::vector<int> answers; // per card, in the bank's order
    int ignored = 0;
};

int usage(const char *why) {
    std::fprintf(stderr,
                 "stravik-signs: %s\nusage: stravik-signs [--signs N] [--second-card-every K] "
                 "[--status FILE]\n",
                 why);
    return 2;
}

// A whole number low..high, or -1.
long number(const char *text, long low, long high) {
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && n >= low && n <= high ? n : -1;
}

bool writeStatus(const QString &path, const std::vector<std::unique_ptr<Sign>> &signs) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream out(&file);
    for (std::size_t i = 0; i < signs.size(); ++i) {
        const Sign &sign = *signs[i];
        const auto &cards = sign.cards->bank().cards();
        for (std::size_t c = 0; c < cards.size(); ++c)
            out << "sign " << i << " card " << cards[c].address << " answers " << sign.answers[c]
                << " ignored " << sign.ignored << " | " << CardBank::describe(cards[c]) << '\n';
    }
    out.flush();
    return file.commit();
}

} // namespace

int main(int argc, char *argv[]) {
    long count = 100, secondEvery = 4;
    QString status;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage(("no value for " + option).c_str());
        const char *value = argv[++i];
        if (option == "--signs")
            count = number(value, 1, 1000);
        else if (option == "--second-card-every")
            secondEvery = number(value, 0, 1000);
        else if (option == "--status")
            status = QString::fromLocal8Bit(value);
        else
            return usage(("unknown option " + option).c_str());
    }
    if (count < 0 || secondEvery < 0)
        return usage("--signs wants 1..1000, --second-card-every 0..1000 (0: none)");

    // The signals arrive through a descriptor the event loop watches; blocked before any
    // thread starts, so that every thread leaves them to it.
    sigset_t handled;
    sigemptyset(&handled);
    for (const int s : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, s);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    const int signalFd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("stravik-signs: signalfd");
        return 1;
    }

    QCoreApplication app(argc, argv);
    std::vector<std::unique_ptr<Sign>> signs;
    for (long i = 0; i < count; ++i) {
        auto sign = std::make_unique<Sign>();
        sign->line = std::make_unique<CardLine>();
        QString error;
        if (!sign->line->openPseudoTerminal(&error)) {
            std::fprintf(stderr, "stravik-signs: sign %ld: %s\n", i,
                         error.toLocal8Bit().constData());
            return 1;
        }
        const bool second = secondEvery > 0 && i % secondEvery == secondEvery - 1;
        const std::vector<int> addresses = second ? std::vector<int>{1, 2} : std::vector<int>{1};
        sign->cards = std::make_unique<VirtualCard>(*sign->line, addresses);
        sign->answers.assign(addresses.size(), 0);
        Sign *s = sign.get();
        QObject::connect(s->cards.get(), &VirtualCard::replySent,
                         [s](int card, const QByteArray &) { ++s->answers[std::size_t(card)]; });
        QObject::connect(s->cards.get(), &VirtualCard::frameHandled, [s](const FrameReport &r) {
            if (r.changed.empty())
                ++s->ignored;
        });
        QObject::connect(s->line.get(), &CardLine::lost, [i](const QString &reason) {
            std::fprintf(stderr, "stravik-signs: sign %ld lost its line: %s\n", i,
                         reason.toLocal8Bit().constData());
        });
        std::printf("sign %ld: %s cards %s\n", i, s->line->path().toLocal8Bit().constData(),
                    second ? "1,2" : "1");
        signs.push_back(std::move(sign));
    }
    std::printf("ready\n");
    std::fflush(stdout);

    QSocketNotifier notifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        signalfd_siginfo info{};
        while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
            if (info.ssi_signo != SIGUSR1) {
                QCoreApplication::quit();
                return;
            }
            if (status.isEmpty() || !writeStatus(status, signs))
                std::fprintf(stderr, "stravik-signs: could not write the status file\n");
        }
    });
    const int code = app.exec();
    ::close(signalFd);
    return code;
}
