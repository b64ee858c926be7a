#include "cli/apply.h"

#include "cli/plan.h"
#include "cli/runstop.h"
#include "texts/commandline.h"
#include "texts/messages.h"
#include "texts/plan.h"

#include <QFile>
#include <QJsonArray>

#include <memory>

namespace {

const QString kCommand = QStringLiteral("apply");

// The rows of one port, one after another on one line.
class PortRun {
  public:
    PortRun(const ApplyOptions &o, Console &console, const std::vector<PlanRow> &rows,
            std::vector<std::size_t> mine, RunStop &stop)
        : o_(o), console_(console), rows_(rows), mine_(std::move(mine)),
          session_(rows[mine_.front()].port), stop_(stop) {
        session_.setReplyDelay(o_.wait);
    }

    // The worst exit code of the rows, and how many of them failed.
    struct Result {
        int code = kExitDone;
        int failed = 0;
        int interrupted = 0;
    };
    Task<Result> exec() {
        Result result;
        if (stop_.stopped()) {
            for (const std::size_t r : mine_)
                result.code = std::max(result.code, notStarted(rows_[r]));
            result.interrupted = static_cast<int>(mine_.size());
            co_return result;
        }
        stop_.track(&session_);
        const int opened = co_await session_.open();
        for (const std::size_t r : mine_) {
            // After Ctrl+C the rows still to come are named, and nothing more is sent.
            const bool cut = stop_.stopped() && session_.stopped();
            const int code = cut                   ? notStarted(rows_[r])
                             : opened == kExitDone ? co_await runRow(rows_[r])
                                                   : failed(rows_[r], opened, session_.error(), {});
            result.code = std::max(result.code, code);
            result.failed += code != kExitDone && code != kExitInterrupted;
            result.interrupted += code == kExitInterrupted;
        }
        if (opened == kExitDone)
            co_await session_.close();
        stop_.untrack(&session_);
        co_return result;
    }

    // A row Ctrl+C came before.
    int notStarted(const PlanRow &row) {
        QJsonObject fields = fieldsOf(row);
        fields.insert("status", "notStarted");
        return failed(row, kExitInterrupted, msg::cli::kNotStarted, fields);
    }

  private:
    QJsonObject fieldsOf(const PlanRow &row) const {
        return {{"line", row.line}, {"port", row.portText}, {"address", row.address}};
    }

    int failed(const PlanRow &row, int code, const QString &why, QJsonObject fields,
               const QStringList &done = {}) {
        if (code == kExitInterrupted && !fields.contains("status"))
            fields.insert("status", "interrupted");
        return console_.failure(
            kCommand, code, msg::plan::rowFailed(row.line, row.portText, row.address, done, why),
            fields, why);
    }

    // The settings with their read-back, then the initial text, then the text; a read-back that
    // differs sends none of the texts.
    Task<int> runRow(const PlanRow &row) {
        QJsonObject fields = fieldsOf(row);
        QStringList done;
        if (row.anySetting) {
            CardSession::Checked checked;
            const int code = co_await session_.modifyAndCheck(row.address, row.settings, &checked);
            if (checked.sent) {
                fields.insert("sent", Console::settingsJson(*checked.sent));
                done << msg::cli::modified(row.address, msg::settingsLine(*checked.sent));
            }
            if (checked.readBack)
                fields.insert("readBack", Console::readBackJson(*checked.readBack));
            if (code != kExitDone)
                co_return failed(row, code, session_.error(), fields, done);
            done.last() += msg::cli::kReadBackAgrees;
        }
        const struct {
            const std::optional<QString> &text;
            DisplayText which;
            const char *field;
        } texts[] = {{row.initialText, DisplayText::Initial, "initialText"},
                     {row.text, DisplayText::Current, "text"}};
        for (const auto &t : texts) {
            if (!t.text)
                continue;
            CardSession::SentText sent;
            if (const int code =
                    co_await session_.sendText(t.which, row.addressAfter(), *t.text, &sent))
                co_return failed(row, code, session_.error(), fields, done);
            fields.insert(t.field, sent.caption);
            done << sent.caption;
        }
        co_return console_.result(kCommand, kExitDone,
                                  msg::plan::rowDone(row.line, row.portText, row.address, done),
                                  fields);
    }

    const ApplyOptions &o_;
    Console &console_;
    const std::vector<PlanRow> &rows_;
    std::vector<std::size_t> mine_;
    CardSession session_;
    RunStop &stop_;
};

// Each row's frames, for a plan that opens no line; a row that needs the card's read-back
// refuses the dry run.
int dryRun(const PlanCheck &plan, Console &console) {
    int code = kExitDone;
    for (const PlanRow &row : plan.rows) {
        for (const QString &line : dryRunLines(row))
            console.line(line);
        if (!row.settingsComplete())
            code = kExitRefused;
    }
    return code;
}

} // namespace

Task<int> applyPlan(ApplyOptions o, Console &console) {
    QFile file(o.file);
    if (!file.open(QIODevice::ReadOnly)) {
        console.error(msg::cli::usageError(msg::plan::planUnreadable(o.file, file.errorString())));
        co_return kExitUsage;
    }
    const PlanCheck plan = readPlan(file);
    if (!plan.problems.isEmpty()) {
        for (const QString &problem : plan.problems)
            console.error(problem);
        console.error(msg::plan::planRefused(plan.problems.size()));
        console.summary(kCommand, kExitRefused,
                        {{"errors", QJsonArray::fromStringList(plan.problems)}});
        co_return kExitRefused;
    }
    if (o.dryRun)
        co_return dryRun(plan, console);

    const auto ports = rowsByPort(plan.rows);
    std::vector<std::unique_ptr<PortRun>> runs(ports.size());
    int result = kExitDone, failed = 0, interrupted = 0, finished = 0;
    const int total = static_cast<int>(plan.rows.size());
    RunStop stop;
    QObject turns; // where a port's run goes after its line's last signal
    co_await task::runAtMost<PortRun::Result>(
        &turns, static_cast<int>(ports.size()), o.jobs,
        [&](int port) {
            runs[std::size_t(port)] =
                std::make_unique<PortRun>(o, console, plan.rows, ports[std::size_t(port)], stop);
            return runs[std::size_t(port)]->exec();
        },
        [&](int port, PortRun::Result done) {
            runs[std::size_t(port)].reset();
            result = std::max(result, done.code);
            failed += done.failed;
            interrupted += done.interrupted;
            finished += static_cast<int>(ports[std::size_t(port)].size());
            console.status(msg::plan::rowsProgress(finished, failed, total));
        });
    console.error(stop.stopped() ? msg::plan::rowsInterrupted(total, failed, interrupted)
                                 : msg::plan::rowsSummary(total, failed));
    co_return stop.stopped() ? int(kExitInterrupted) : result;
}
