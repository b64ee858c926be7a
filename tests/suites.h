#pragma once

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <string>

// Every test class registers itself under the name of its file (test_<name>.cpp), and CTest
// runs each suite as its own test: stravik_tests <name> [QtTest options].
using SuiteFactory = std::function<std::unique_ptr<QObject>()>;
std::map<std::string, SuiteFactory> &suites();

struct SuiteRegistration {
    SuiteRegistration(const char *name, SuiteFactory factory) {
        suites().emplace(name, std::move(factory));
    }
};

#define STRAVIK_SUITE(Name, Class)                                                                 \
    static const SuiteRegistration registration_##Class {                                          \
        Name, [] { return std::unique_ptr<QObject>(new Class); }                                   \
    }
