// delay-proxy --to HOST:PORT --rtt MS [--listen PORT]: a slow link on 127.0.0.1 in front of a
// server on this machine, for scripts that measure. Prints "listening: PORT" once it listens
// and runs until it is killed.

#include "tests/support/delayproxy.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int usage(const char *why) {
    std::fprintf(stderr,
                 "delay-proxy: %s\nusage: delay-proxy --to HOST:PORT --rtt MS [--listen PORT]\n",
                 why);
    return 1;
}

// A whole number low..high, or -1.
long number(const std::string &text, long low, long high) {
    char *end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && n >= low && n <= high ? n : -1;
}

} // namespace

int main(int argc, char *argv[]) {
    std::string host;
    long port = -1, rtt = -1, listen = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage(("no value for " + option).c_str());
        const std::string value = argv[++i];
        if (option == "--to") {
            const auto colon = value.rfind(':');
            if (colon == std::string::npos)
                return usage("--to needs HOST:PORT");
            host = value.substr(0, colon);
            port = number(value.substr(colon + 1), 1, 65535);
        } else if (option == "--rtt") {
            rtt = number(value, 0, 600000);
        } else if (option == "--listen") {
            listen = number(value, 0, 65535);
        } else {
            return usage(("unknown option " + option).c_str());
        }
    }
    if (host.empty() || port < 0 || rtt < 0 || listen < 0)
        return usage("--to HOST:PORT and --rtt MS are needed, each a number in range");

    // The proxy's thread and this one ignore the signals; this one waits for them.
    sigset_t ending;
    sigemptyset(&ending);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    DelayProxy proxy(host, static_cast<std::uint16_t>(port), std::chrono::milliseconds(rtt),
                     static_cast<std::uint16_t>(listen));
    if (!proxy.listening()) {
        std::fprintf(stderr, "delay-proxy: %s\n", proxy.error().c_str());
        return 2;
    }
    std::printf("listening: %u\n", unsigned(proxy.port()));
    std::fflush(stdout);
    int signal = 0;
    sigwait(&ending, &signal);
    proxy.stop();
    return 0;
}
