#pragma once

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

// The work on one line as a coroutine: it reads as the steps follow each other, and suspends
// wherever it waits, so that many lines share one event loop and none holds it.
//
// A Task starts when it is awaited (or spawned) and hands its value to whoever awaits it.
template <typename T> class Task {
  public:
    struct promise_type {
        std::optional<T> value;
        std::coroutine_handle<> continuation;

        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Final {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<>
            await_suspend(std::coroutine_handle<promise_type> done) noexcept {
                const std::coroutine_handle<> next = done.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        Final final_suspend() noexcept { return {}; }
        void return_value(T v) { value = std::move(v); }
        void unhandled_exception() { std::terminate(); }
    };

    Task(Task &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    Task &operator=(Task &&) = delete;
    ~Task() {
        if (handle_)
            handle_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() { return std::move(*handle_.promise().value); }

  private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

namespace task {

// A coroutine nobody awaits: it runs until its first wait now, and frees itself at its end.
struct Detached {
    struct promise_type {
        Detached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };
};

// Runs the task on the event loop; done gets its value.
template <typename T> Detached spawn(Task<T> work, std::function<void(T)> done) {
    done(co_await work);
}

// Runs the event loop until the task has its value, for a caller that waits.
template <typename T> T wait(Task<T> work) {
    std::optional<T> value;
    QEventLoop loop;
    spawn<T>(std::move(work), [&](T v) {
        value = std::move(v);
        loop.quit();
    });
    if (!value)
        loop.exec();
    return std::move(*value);
}

// Suspends for a while; the event loop runs meanwhile.
struct Pause {
    std::chrono::milliseconds time;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting) const {
        QTimer::singleShot(time, Qt::PreciseTimer, [awaiting] { awaiting.resume(); });
    }
    void await_resume() const noexcept {}
};

} // namespace task

namespace task {

// Runs count tasks, at most atOnce of them at a time, in one event loop: make(i) gives the
// i-th when its turn comes, done(i, value) follows when it has its value. Returns when every
// one has.
template <typename T>
void runAtMost(int count, int atOnce, const std::function<Task<T>(int)> &make,
               const std::function<void(int, T)> &done) {
    int started = 0, finished = 0, running = 0;
    QEventLoop loop;
    std::function<void()> startMore = [&] {
        while (running < atOnce && started < count) {
            const int index = started++;
            ++running;
            spawn<T>(make(index), [&, index](T value) {
                --running;
                ++finished;
                done(index, std::move(value));
                // On the next turn: a task that ended without waiting (a device that is not
                // there) would otherwise start the next from inside itself, one level deeper
                // each time.
                QTimer::singleShot(0, &loop,
                                   finished == count
                                       ? std::function<void()>([&loop] { loop.quit(); })
                                       : startMore);
            });
        }
    };
    if (count == 0)
        return;
    QTimer::singleShot(0, &loop, startMore);
    loop.exec();
}

} // namespace task
