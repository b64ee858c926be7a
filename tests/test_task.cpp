#include "cli/task.h"
#include "tests/suites.h"

#include <QTest>

#include <cstdint>
#include <memory>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

Task<int> produce(QObject *context, bool sleeps, bool throws) {
    if (sleeps)
        co_await task::sleep(context, 1ms);
    if (throws)
        throw std::runtime_error("line lost");
    co_return 7;
}

Task<> nothing(QObject *context, bool sleeps, bool throws) {
    co_await produce(context, sleeps, throws);
}

// The lowest and highest stack address seen in a task. A coroutine keeps its own locals in its
// frame, off the stack: the address is that of a function it calls.
struct StackSpan {
    std::uintptr_t low = UINTPTR_MAX, high = 0;
};

[[gnu::noinline]] void noteStack(StackSpan *span) {
    volatile char here = 0;
    const auto at = reinterpret_cast<std::uintptr_t>(&here);
    span->low = std::min(span->low, at);
    span->high = std::max(span->high, at);
}

Task<int> atOnce(int value, StackSpan *span) {
    noteStack(span);
    co_return value;
}

Task<int> sumOfMany(int count, StackSpan *span) {
    int sum = 0;
    for (int i = 0; i < count; ++i)
        sum += co_await atOnce(i, span);
    co_return sum;
}

struct Freed {
    bool *freed;
    ~Freed() { *freed = true; }
};

class Owner : public QObject {
  public:
    std::optional<Task<>> waiting;
};

Task<> waitOn(QObject *owner, bool *freed, bool *resumed) {
    const Freed guard{freed};
    co_await task::sleep(owner, 1ms);
    *resumed = true;
}

} // namespace

class TaskTest : public QObject {
    Q_OBJECT

  private slots:
    void endsWithItsValueOrItsException_data() {
        QTest::addColumn<bool>("sleeps");
        QTest::addColumn<bool>("throws");
        QTest::newRow("at once") << false << false;
        QTest::newRow("after a wait") << true << false;
        QTest::newRow("throws at once") << false << true;
        QTest::newRow("throws after a wait") << true << true;
    }
    void endsWithItsValueOrItsException() {
        QFETCH(bool, sleeps);
        QFETCH(bool, throws);
        QObject context;
        for (const bool isVoid : {false, true}) {
            QString caught;
            int value = 0;
            try {
                if (isVoid)
                    task::run(nothing(&context, sleeps, throws));
                else
                    value = task::run(produce(&context, sleeps, throws));
            } catch (const std::runtime_error &e) {
                caught = QString::fromUtf8(e.what());
            }
            QCOMPARE(caught, throws ? QStringLiteral("line lost") : QString());
            QCOMPARE(value, throws || isVoid ? 0 : 7);
        }
    }

    void manyTasksThatEndAtOnceKeepTheStackFlat() {
        StackSpan span;
        QCOMPARE(task::run(sumOfMany(1000, &span)), 999 * 1000 / 2);
#ifdef __SANITIZE_ADDRESS__
        // AddressSanitizer's frames keep the hand-over to the next task from being a tail call:
        // the stack is measured in the plain build.
        QSKIP("the stack's depth is measured without AddressSanitizer");
#endif
        QVERIFY2(span.high - span.low < 4096, qPrintable(QString::number(span.high - span.low)));
    }

    void runAtMostRunsEachOnceWithinTheLimit_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("sleeps");
        QTest::newRow("none") << 0 << 4 << false;
        QTest::newRow("fewer than the limit") << 3 << 32 << true;
        QTest::newRow("one at a time") << 50 << 1 << true;
        QTest::newRow("a thousand at once, one at a time") << 1000 << 1 << false;
        QTest::newRow("a thousand at once, 32 together") << 1000 << 32 << false;
        QTest::newRow("a thousand waiting, 32 together") << 1000 << 32 << true;
    }
    void runAtMostRunsEachOnceWithinTheLimit() {
        QFETCH(int, count);
        QFETCH(int, limit);
        QFETCH(bool, sleeps);
        QObject context;
        int running = 0, most = 0;
        std::vector<int> seen(std::size_t(count), 0);
        auto one = [&](int index) -> Task<int> {
            most = std::max(most, ++running);
            if (sleeps)
                co_await task::sleep(&context, 1ms);
            --running;
            co_return index;
        };
        task::run(task::runAtMost<int>(&context, count, limit, one, [&](int index, int value) {
            QCOMPARE(value, index);
            ++seen[std::size_t(index)];
        }));
        QVERIFY(most <= limit);
        QCOMPARE(std::count(seen.begin(), seen.end(), 1), count);
    }

    void aTaskWhoseOwnerIsGoneIsFreedNotResumed() {
        bool freed = false, resumed = false;
        auto owner = std::make_unique<Owner>();
        owner->waiting.emplace(waitOn(owner.get(), &freed, &resumed));
        owner->waiting->start();
        owner.reset();
        QObject context;
        task::run(nothing(&context, true, false));
        task::run([](QObject *c) -> Task<> { co_await task::sleep(c, 20ms); }(&context));
        QVERIFY(freed);
        QVERIFY(!resumed);
    }
};

STRAVIK_SUITE("task", TaskTest);
#include "test_task.moc"
