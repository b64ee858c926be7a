#pragma once

class QWidget;

// Where the start-up goes, from the program's start to the window's first drawing: each
// phase's processor time (all threads) and wall-clock time, and within the building of the
// controls the time of each kind of control. Timed only when the environment variable
// STRAVIK_STARTUP_PHASES names a file to write them to ("-": standard error); otherwise every
// call below costs one test of a flag.
//
// The report has one line per phase, "phase<TAB>processor ms<TAB>wall-clock ms", in the order
// the phases ended, and "controls: kind" lines for the kinds. The first phase, "before main"
// (loading the libraries), has no wall-clock time.
namespace startup {

// The phase that ended now.
void mark(const char *phase);

// Counts its lifetime into the total of one kind of control.
class Span {
  public:
    explicit Span(const char *kind);
    ~Span();
    Span(const Span &) = delete;
    Span &operator=(const Span &) = delete;

  private:
    const char *kind_;
    double cpu_ = 0;
    double wall_ = 0;
};

// Ends the phase "first paint" once the window has finished its first drawing, and writes
// the report.
void reportAfterFirstPaint(QWidget *window);

} // namespace startup
