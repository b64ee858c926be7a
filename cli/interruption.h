#pragma once

#include <functional>
#include <memory>

// Being told to stop while a command runs: Ctrl+C and SIGTERM on Linux; Ctrl+C, Ctrl+Break and
// the console window closing on Windows. What to do then is called on the event loop, never
// inside the system's handler. A second Ctrl+C ends the program at once, as it would without
// this. One at a time; the handlers before come back at its end.
class Interruption {
  public:
    explicit Interruption(std::function<void()> onInterrupt);
    // Windows ends a program whose console window closes as soon as the handler returns: the
    // handler holds it until this ends, a few seconds at most.
    ~Interruption();
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;

    bool happened() const;

  private:
    struct Private;
    std::unique_ptr<Private> d;
};
