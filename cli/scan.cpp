#include "cli/scan.h"

#include "cli/interruption.h"
#include "cli/siteplan.h"

#include "texts/commandline.h"
#include "texts/messages.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>
#include <memory>
#include <optional>

namespace {

const QString kCommand = QStringLiteral("scan");

// Every card found restarts: said always, asked on a terminal unless --yes, refused off one.
std::optional<int> confirm(Console &console, const ScanOptions &o) {
    console.error(msg::cli::scanNotice(o.from, o.to));
    if (o.yes)
        return std::nullopt;
    if (!console.interactive())
        return console.failure(kCommand, kExitRefused, msg::cli::kScanNeedsYes);
    const auto answer = console.ask(msg::cli::kScanPrompt);
    if (!answer || !msg::cli::isYes(*answer))
        return console.failure(kCommand, kExitRefused, msg::cli::kScanNotConfirmed);
    return std::nullopt;
}

} // namespace

Task<int> runScan(CardSession &session, Console &console, ScanOptions o) {
    SitePlan plan;
    if (QString why; !o.plan.isEmpty() && !plan.open(o.plan, &why))
        co_return console.failure(kCommand, kExitUsage, msg::cli::planUnwritable(o.plan, why));
    if (const auto refused = confirm(console, o))
        co_return *refused;
    // Only now: Ctrl+C at the question ends the program as it always does. The wait under way
    // ends at once; the address it was on is not known either way.
    const Interruption interruption([&session] { session.stop(std::chrono::milliseconds(0)); });
    if (const int code = co_await session.open())
        co_return console.failure(kCommand, code, session.error());
    session.setReadWhenWhole(true);

    QJsonArray found;
    int last = o.from - 1; // the last address whose wait ran to its end
    int code = kExitDone;
    QString error;
    for (int address = o.from; address <= o.to && !interruption.happened(); ++address) {
        console.status(msg::cli::scanProgress(address, o.to, found.size()));
        CardReply card;
        const int result = co_await session.restart(address, &card);
        if (result == kExitDone) {
            found.append(address);
            if (plan.isOpen())
                plan.add(o.port, card);
            QJsonObject fields = Console::readBackJson(card);
            fields.insert("command", kCommand);
            fields.insert("restarted", address);
            if (console.json())
                console.json(fields);
            else
                console.line(msg::readBackLine(card));
        } else if (interruption.happened()) {
            break; // the wait was cut short: this address is not known either way
        } else if (result != kExitNoReply) {
            code = result;
            error = session.error();
            console.error(error);
            break;
        }
        last = address;
    }

    if (code == kExitDone && interruption.happened()) {
        code = kExitInterrupted;
        console.error(msg::cli::scanInterrupted(o.from, last));
    } else if (code == kExitDone && found.isEmpty()) {
        code = kExitNoReply;
    }
    QList<int> addresses;
    for (const QJsonValue &a : found)
        addresses << a.toInt();
    console.error(msg::cli::scanSummary(o.from, last, addresses));
    if (plan.isOpen()) {
        if (QString why; !plan.save(&why))
            co_return console.failure(kCommand, kExitUsage, msg::cli::planUnwritable(o.plan, why));
        console.error(msg::cli::planWritten(o.plan, plan.rows()));
    }
    QJsonObject summary{{"from", o.from},
                        {"to", o.to},
                        {"last", last},
                        {"found", found},
                        {"interrupted", code == kExitInterrupted}};
    if (!error.isEmpty())
        summary.insert("error", error);
    console.summary(kCommand, code, summary);
    co_return code;
}
