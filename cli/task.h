#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// The work on one line as a coroutine: it reads as the steps follow each other, and suspends
// wherever it waits, so that many lines share one event loop and none holds it.
//
// A Task starts when it is awaited (or started) and hands its value, or the exception that
// ended it, to whoever awaits it. Each step passes control straight to the next (symmetric
// transfer), so a chain of tasks that end at once does not deepen the stack.
template <typename T = void> class Task;

namespace task::detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Final {
        bool await_ready() noexcept { return false; }
        template <typename P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> done) noexcept {
            const std::coroutine_handle<> next = done.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    Final final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
    void rethrow() const {
        if (error)
            std::rethrow_exception(error);
    }
};

template <typename T> struct Promise : PromiseBase {
    std::optional<T> value;
    void return_value(T v) { value = std::move(v); }
    T take() {
        rethrow();
        return std::move(*value);
    }
};

template <> struct Promise<void> : PromiseBase {
    void return_void() {}
    void take() { rethrow(); }
};

} // namespace task::detail

template <typename T> class Task {
  public:
    struct promise_type : task::detail::Promise<T> {
        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
    };

    Task(Task &&other) noexcept
        : handle_(std::exchange(other.handle_, {})), started_(other.started_) {}
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    Task &operator=(Task &&) = delete;
    // A task still waiting is freed with its frame: whatever it waits on must not resume it
    // afterwards (task::sleep takes the object that owns the task for that).
    ~Task() {
        if (handle_)
            handle_.destroy();
    }

    // Runs it now, until its first wait; whoever awaits it later gets its value.
    void start() {
        started_ = true;
        handle_.resume();
    }
    bool done() const { return handle_.done(); }

    bool await_ready() const noexcept { return handle_.done(); }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        if (started_)
            return std::noop_coroutine();
        started_ = true;
        return handle_;
    }
    T await_resume() { return handle_.promise().take(); }

    // Awaits the end without taking the value or the exception.
    struct Ended {
        Task &task;
        bool await_ready() const noexcept { return task.done(); }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
            return task.await_suspend(awaiting);
        }
        void await_resume() const noexcept {}
    };
    Ended ended() { return {*this}; }

  private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
    bool started_ = false;
};

namespace task {

// Suspends for a while; the event loop runs meanwhile. The timer is bound to context, the
// object that owns the waiting task: once it is gone the task is never resumed.
struct Sleep {
    QObject *context;
    std::chrono::milliseconds time;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting) const {
        QTimer::singleShot(time, Qt::PreciseTimer, context, [awaiting] { awaiting.resume(); });
    }
    void await_resume() const noexcept {}
};
inline Sleep sleep(QObject *context, std::chrono::milliseconds time) {
    return {context, time};
}
// The next turn of the event loop, on a fresh stack.
inline Sleep nextTurn(QObject *context) {
    return {context, std::chrono::milliseconds(0)};
}

// Runs count tasks, at most atOnce of them at a time: make(i) gives the i-th when its turn
// comes, done(i, value) follows on the next turn of the loop after it has its value (what the
// task left on its way out, a line's last signal, is over by then). Ends when every one has.
template <typename T>
Task<> runAtMost(QObject *context, int count, int atOnce, std::function<Task<T>(int)> make,
                 std::function<void(int, T)> done) {
    int next = 0;
    // Each worker takes the next index as soon as its task has ended.
    auto worker = [](QObject *context, int count, int *next,
                     const std::function<Task<T>(int)> &make,
                     const std::function<void(int, T)> &done) -> Task<> {
        for (int index; (index = (*next)++) < count;) {
            T value = co_await make(index);
            co_await nextTurn(context);
            done(index, std::move(value));
        }
    };
    std::vector<Task<>> workers;
    workers.reserve(std::size_t(std::max(0, std::min(atOnce, count))));
    for (int w = 0; w < std::min(atOnce, count); ++w) {
        workers.push_back(worker(context, count, &next, make, done));
        workers.back().start();
    }
    // A task's exception ends its worker; the others run to their end, then the first
    // exception goes on.
    std::exception_ptr first;
    for (Task<> &w : workers) {
        try {
            co_await w;
        } catch (...) {
            if (!first)
                first = std::current_exception();
        }
    }
    if (first)
        std::rethrow_exception(first);
}

// The program's one wait: starts work, runs an event loop until it has ended and gives its
// value, or throws its exception. Everything else in the program awaits instead.
template <typename T> T run(Task<T> work) {
    QEventLoop loop;
    bool ended = false;
    auto watch = [](Task<T> &work, bool *ended, QEventLoop *loop) -> Task<> {
        co_await work.ended();
        *ended = true;
        loop->quit();
    };
    Task<> watcher = watch(work, &ended, &loop);
    watcher.start();
    if (!ended)
        loop.exec();
    return work.await_resume();
}

} // namespace task
