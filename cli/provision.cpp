#include "cli/provision.h"

#include "protocol/frame.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QJsonObject>

namespace {

class Provision {
  public:
    Provision(const ProvisionOptions &options, Console &console)
        : o_(options), console_(console), session_(options.port) {
        session_.setReplyDelay(o_.wait);
        session_.setProgress([this](qint64 sent, qint64 total) { console_.progress(sent, total); });
    }

    Task<int> exec() {
        int first = 0, last = 0;
        if (const auto refused = checkProvision(&first, &last))
            co_return *refused;
        if (const int code = co_await session_.open())
            co_return console_.failure(kCommand, code, session_.error());
        int result = kExitDone;
        int address = first;
        for (int cardNumber = 1; address <= last; ++cardNumber) {
            if (!console_.ask(msg::cli::connectCard(cardNumber)))
                break;
            const CardResult card = co_await provisionCard(cardNumber, address);
            if (card.code == kExitDone)
                ++address;
            else
                result = card.code;
            if (card.endsRun)
                break;
        }
        co_await session_.close();
        console_.error(msg::cli::provisionSummary(first, address));
        co_return result;
    }

  private:
    static inline const QString kCommand = QStringLiteral("provision");

    int refuse(const QString &text) { return console_.failure(kCommand, kExitRefused, text); }

    // The addresses a provision run gives, first to last; every one of them, and the text, are
    // checked before the first card. The exit code of a refusal.
    std::optional<int> checkProvision(int *first, int *last) {
        if (auto refusal = readSettings(o_.settings, &settings_))
            return refuse(*refusal);
        if (!settings_.newAddress)
            return refuse(msg::notAByte(msg::kLabelNewAddress));
        *first = *settings_.newAddress;
        *last = o_.count ? *first + *o_.count - 1 : 255;
        if (*last > 255)
            return refuse(msg::cli::lastAddressBeyond(*o_.count, *last));
        // The longest frame of the run is the one to the highest address.
        if (o_.initialText &&
            BuildDisplayTextFrame(*last, kLetterInitialText, WithCardLineBreaks(*o_.initialText))
                .tooLong())
            return refuse(msg::kTextTooLong);
        return std::nullopt;
    }

    // One card of a provision run, set up again for as long as the operator retries it: its
    // exit code (kExitDone when it passed), and whether the run ends with it (the port went
    // away, or the input ended at the question).
    struct CardResult {
        int code;
        bool endsRun;
    };
    Task<CardResult> provisionCard(int cardNumber, int address) {
        for (;;) {
            const int code = co_await setUpCard(cardNumber, address);
            if (code == kExitDone || code == kExitPort)
                co_return CardResult{code, code == kExitPort};
            const auto answer = askRetry(cardNumber);
            if (answer == u"r")
                continue;
            console_.error(msg::cli::cardSkipped(cardNumber));
            co_return CardResult{code, !answer};
        }
    }

    // "r" to retry, "s" to skip, nothing at the end of input.
    std::optional<QString> askRetry(int cardNumber) {
        for (;;) {
            const auto answer = console_.ask(msg::cli::retryPrompt(cardNumber));
            if (!answer)
                return answer;
            if (const auto choice = msg::cli::retryAnswer(*answer))
                return QString(*choice);
        }
    }

    // The operator connects one card alone and confirms it with Enter: that is the answer to
    // the broadcast question. A card's failure is its result, on standard output.
    Task<int> setUpCard(int cardNumber, int address) {
        SettingsChoice choice = settings_;
        choice.newAddress = address;
        const QString prefix = msg::cli::cardPrefix(cardNumber);
        QJsonObject fields{{"card", cardNumber}, {"address", address}};
        CardSession::Checked checked;
        if (const int code = co_await session_.modifyAndCheck(kAddressBroadcast, choice, &checked);
            code != kExitDone) {
            if (checked.readBack)
                fields.insert("readBack", Console::readBackJson(*checked.readBack));
            co_return console_.result(kCommand, code, prefix + session_.error(), fields);
        }
        const CardReply &card = *checked.readBack;
        fields.insert("readBack", Console::readBackJson(card));
        QString caption;
        if (o_.initialText) {
            CardSession::SentText text;
            if (const int code = co_await session_.sendText(DisplayText::Initial, address,
                                                            *o_.initialText, &text))
                co_return console_.result(kCommand, code, prefix + session_.error(), fields);
            fields.insert("caption", text.caption);
            caption = text.caption;
        }
        co_return console_.result(kCommand, kExitDone,
                                  prefix + msg::cli::cardDone(msg::readBackLine(card), caption),
                                  fields);
    }

    const ProvisionOptions &o_;
    Console &console_;
    CardSession session_;
    SettingsChoice settings_; // as read from the options, before each card's address
};

} // namespace

Task<int> provision(ProvisionOptions options, Console &console) {
    QObject turns; // the line's last signal is over on the next turn, before the run goes
    Provision run(options, console);
    const int code = co_await run.exec();
    co_await task::nextTurn(&turns);
    co_return code;
}
