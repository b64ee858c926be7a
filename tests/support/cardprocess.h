#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// The programs built beside the tests (build/tests/stravik_tests): the tool, build/app/stravik,
// its command line, build/cli/stravik-cli, and the virtual card, build/virtualcard/virtual-card.
QString stravikProgram();
QString stravikCliProgram();
QString cardProgram();

// The virtual card as its own process, in --headless mode: it names its pseudo-terminal on
// the first line and then prints every frame it takes and the state of the cards it changed.
class CardProcess {
  public:
    // Keep holds every line for linesFrom, count and the waits; Drop lets each line go once
    // next() has taken it, so that a long run holds no transcript.
    enum class History { Keep, Drop };

    // options: more of the card's options, such as --echo.
    explicit CardProcess(const QString &addresses = QStringLiteral("1"),
                         History history = History::Keep, const QStringList &options = {});
    ~CardProcess();
    CardProcess(const CardProcess &) = delete;
    CardProcess &operator=(const CardProcess &) = delete;

    bool started() const { return !slavePath_.isEmpty(); }
    // The pseudo-terminal's slave, or with --listen the card's tcp:// address.
    QString slavePath() const { return slavePath_; }
    qint64 pid() const { return process_.processId(); }

    // Lines printed from index `from` on (the pty line is index 0), and how many came.
    QStringList linesFrom(qsizetype from) const;
    qsizetype lineCount() const { return first_ + lines_.size(); }

    // Everything printed so far, for failure messages.
    QString transcript() const { return lines_.join(QLatin1Char('\n')); }

    // Waits until a line from index `from` on equals `line`.
    bool waitForLine(const QString &line, qsizetype from = 0,
                     std::chrono::milliseconds deadline = std::chrono::seconds(5));

    // Waits until a line from index `from` on starts with `prefix` (or contains `part`);
    // returns it, or an empty string when none came.
    QString waitForLineStarting(const QString &prefix, qsizetype from = 0,
                                std::chrono::milliseconds deadline = std::chrono::seconds(5));
    QString waitForLineContaining(const QString &part, qsizetype from = 0,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(5));

    // Lines from index `from` on that start with `prefix`.
    qsizetype count(const QString &prefix, qsizetype from = 0) const;

    // The next line that next() has not yet taken, waiting for it up to the deadline.
    std::optional<QString> next(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // True when next() has taken every line and no part of one waits.
    bool nothingMorePrinted() const { return next_ == lineCount() && buffer_.isEmpty(); }

  private:
    template <typename Pred>
    QString waitForLineWhere(Pred pred, qsizetype from, std::chrono::milliseconds deadline);

    QProcess process_;
    History history_;
    QByteArray buffer_;
    QStringList lines_;
    qsizetype first_ = 0; // index of lines_[0]: the lines before it have been let go
    qsizetype next_ = 1;  // index of the line next() gives
    QString slavePath_;
};
