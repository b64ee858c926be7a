#include "bench/framebuild.h"

#include "protocol/frame.h"

#include <QStringList>

#include <random>

namespace {

// Frame sizes go here so that the builds cannot be optimised away.
volatile std::size_t sink = 0;

// Pads text with ASCII until its display-text frame is exactly kMaxFrameLength bytes; empty
// when it cannot be reached.
QString fillToLongestFrame(QString text) {
    const auto length = [](const QString &t) {
        return static_cast<qsizetype>(BuildDisplayTextFrame(0, kLetterDisplayText, t).frame.size());
    };
    const qsizetype missing = kMaxFrameLength - length(text);
    if (missing < 0)
        return {};
    text += QString(missing, u'x');
    return length(text) == kMaxFrameLength ? text : QString();
}

QString longestChineseText() {
    // Every character here is two code page 936 bytes of 0x80 or more: four carried bytes.
    const QString pool = QStringLiteral("欢迎光临测试通信协议显示屏控制卡设置地址");
    QString text;
    const qsizetype characters = (kMaxFrameLength - 4) / 4;
    for (qsizetype i = 0; i < characters; ++i)
        text += pool[i % pool.size()];
    return fillToLongestFrame(text);
}

// Shop-sign texts of 2 to 50 characters: Chinese words, digits, ASCII words and punctuation.
QStringList typicalTexts() {
    const QStringList words{QStringLiteral("欢迎光临"), QStringLiteral("营业中"),
                            QStringLiteral("今日特价"), QStringLiteral("新品上市"),
                            QStringLiteral("请排队"),   QStringLiteral("谢谢惠顾"),
                            QStringLiteral("停车场"),   QStringLiteral("满"),
                            QStringLiteral("空位"),     QStringLiteral("元"),
                            QStringLiteral("折"),       QStringLiteral("！"),
                            QStringLiteral("，"),       QStringLiteral("OPEN"),
                            QStringLiteral("WiFi"),     QStringLiteral("24h"),
                            QStringLiteral(" "),        QStringLiteral("8:00-22:00"),
                            QStringLiteral("\r\n"),     QStringLiteral("测试通信协议！")};
    std::mt19937 pick(936);
    QStringList texts;
    for (int i = 0; i < 100; ++i) {
        const qsizetype wanted = 2 + static_cast<qsizetype>(pick() % 49);
        QString text;
        while (text.size() < wanted)
            text += words[static_cast<qsizetype>(pick() % words.size())];
        texts << text.left(50);
    }
    return texts;
}

template <typename Build> void timeBuilds(Samples &into, int repetitions, Build build) {
    for (int i = 0; i < 3; ++i)
        build();
    for (int i = 0; i < repetitions; ++i) {
        const BenchClock::time_point from = BenchClock::now();
        build();
        into.add(millisecondsBetween(from, BenchClock::now()) * 1000.0);
    }
}

} // namespace

FrameBuildResults measureFrameBuilding(int repetitions) {
    FrameBuildResults r;
    const QString chinese = longestChineseText();
    const QString ascii = fillToLongestFrame(QString());
    if (chinese.isEmpty() || ascii.isEmpty()) {
        r.problem =
            QStringLiteral("no text gives a frame of exactly %1 bytes").arg(kMaxFrameLength);
        return r;
    }
    const QStringList typical = typicalTexts();

    timeBuilds(r.longestChinese, repetitions, [&] {
        sink = sink + BuildDisplayTextFrame(0, kLetterDisplayText, chinese).frame.size();
    });
    timeBuilds(r.longestAscii, repetitions, [&] {
        sink = sink + BuildDisplayTextFrame(0, kLetterDisplayText, ascii).frame.size();
    });
    timeBuilds(r.typicalHundred, repetitions, [&] {
        for (const QString &text : typical)
            sink = sink + BuildDisplayTextFrame(0, kLetterDisplayText, text).frame.size();
    });
    return r;
}
