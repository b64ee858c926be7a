#include "cli/apply.h"

#include "cli/plan.h"
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
            std::vector<std::size_t> mine)
        : o_(o), console_(console), rows_(rows), mine_(std::move(mine)),
          session_(rows[mine_.front()].port) {
        session_.setReplyDelay(o_.wait);
    }

    // The worst exit code of the rows, and how many of them failed.
    struct Result {
        int code = kExitDone;
        int failed = 0;
    };
    Task<Result> exec() {
        Result result;
        const int opened = co_await session_.open();
        for (const std::size_t r : mine_) {
            const int code = opened == kExitDone ? co_await runRow(rows_[r])
                                                 : failed(rows_[r], opened, session_.error(), {});
            result.code = std::max(result.code, code);
            result.failed += code != kExitDone;
        }
        if (opened == kExitDone)
            co_await session_.close();
        co_return result;
    }

  private:
    QJsonObject fieldsOf(const PlanRow &row) const {
        return {{"line", row.line}, {"port", row.portText}, {"address", row.address}};
    }

    int failed(const PlanRow &row, int code, const QString &why, const QJsonObject &fields,
               const QStringList &done = {}) {
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
    const PlanCheck plan = readPlan(file.readAll());
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
    int result = kExitDone, failed = 0, finished = 0;
    const int total = static_cast<int>(plan.rows.size());
    QObject turns; // where a port's run goes after its line's last signal
    co_await task::runAtMost<PortRun::Result>(
        &turns, static_cast<int>(ports.size()), o.jobs,
        [&](int port) {
            runs[std::size_t(port)] =
                std::make_unique<PortRun>(o, console, plan.rows, ports[std::size_t(port)]);
            return runs[std::size_t(port)]->exec();
        },
        [&](int port, PortRun::Result done) {
            runs[std::size_t(port)].reset();
            result = std::max(result, done.code);
            failed += done.failed;
            finished += static_cast<int>(ports[std::size_t(port)].size());
            console.status(msg::plan::rowsProgress(finished, failed, total));
        });
    console.error(msg::plan::rowsSummary(total, failed));
    co_return result;
}
