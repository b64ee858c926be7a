#include "tests/suites.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <vector>

std::map<std::string, SuiteFactory> &suites() {
    static std::map<std::string, SuiteFactory> all;
    return all;
}

int main(int argc, char *argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SUITE [QtTest options]\nsuites:", argv[0]);
        for (const auto &[name, factory] : suites())
            std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    const auto found = suites().find(argv[1]);
    if (found == suites().end()) {
        std::fprintf(stderr, "no suite named %s\n", argv[1]);
        return 2;
    }
    QApplication app(argc, argv);
    std::unique_ptr<QObject> suite = found->second();
    std::vector<char *> args{argv[0]};
    for (int i = 2; i < argc; ++i)
        args.push_back(argv[i]);
    return QTest::qExec(suite.get(), static_cast<int>(args.size()), args.data());
}
