#include "texts/plan.h"

#include "texts/messages.h"

namespace msg::plan {

QString englishName(Column column) {
    switch (column) {
    case Column::Port:
        return QStringLiteral("port");
    case Column::Address:
        return QStringLiteral("address");
    case Column::NewAddress:
        return QStringLiteral("new-address");
    case Column::Rows:
        return QStringLiteral("rows");
    case Column::Chars:
        return QStringLiteral("chars");
    case Column::Data:
        return QStringLiteral("data");
    case Column::Oe:
        return QStringLiteral("oe");
    case Column::Scan:
        return QStringLiteral("scan");
    case Column::InitialText:
        return QStringLiteral("initial-text");
    case Column::Text:
        return QStringLiteral("text");
    }
    return QString();
}

QString chineseName(Column column) {
    switch (column) {
    case Column::Port:
        return kCaptionPort;
    case Column::Address:
        return kLabelOriginalAddress;
    case Column::NewAddress:
        return kLabelNewAddress;
    case Column::Rows:
        return kLabelRows;
    case Column::Chars:
        return kLabelCharsPerRow;
    case Column::Data:
        return kLabelData;
    case Column::Oe:
        return kLabelOe;
    case Column::Scan:
        return kLabelScan;
    case Column::InitialText:
        return QStringLiteral("初始显示信息");
    case Column::Text:
        return QStringLiteral("显示信息");
    }
    return QString();
}

QString tooLarge(qint64 maxMiB) {
    return QStringLiteral("计划文件超过 %1 MiB（或是没有尽头的设备、管道），不是计划，没有读完。")
        .arg(maxMiB);
}

QString readFailed(const QString &why) {
    return QStringLiteral("计划文件没能读到结尾：%1").arg(why);
}

QString unknownColumn(const QString &name) {
    return QStringLiteral("表头有未知的列“%1”").arg(name);
}

QString duplicateColumn(const QString &name) {
    return QStringLiteral("表头的列“%1”出现了不止一次").arg(name);
}

QString missingColumn(Column column) {
    return QStringLiteral("表头缺少列 %1（%2）").arg(englishName(column), chineseName(column));
}

QString unnamedColumn(int position) {
    return QStringLiteral("表头第 %1 列没有名字").arg(position);
}

QString cell(int line, const QString &column, const QString &reason) {
    return QStringLiteral("第 %1 行 %2：%3").arg(line).arg(column, reason);
}

QString row(int line, const QString &reason) {
    return QStringLiteral("第 %1 行：%2").arg(line).arg(reason);
}

QString tooManyCells(qsizetype cells, qsizetype columns) {
    return QStringLiteral("有 %1 个单元格，表头只有 %2 列").arg(cells).arg(columns);
}

QString controlCharacter(char16_t character) {
    return QStringLiteral("含有控制字符 U+%1，控制卡上显示不出（文字里只能有制表符和换行）")
        .arg(QString::number(character, 16).toUpper().rightJustified(4, u'0'));
}

QString notInCodePage(const QString &character) {
    QStringList codes;
    for (const char32_t c : character.toUcs4())
        codes << QStringLiteral("U+%1").arg(c, 4, 16, QLatin1Char('0')).toUpper();
    return QStringLiteral("字符“%1”（%2）不在 GBK（代码页 936）中，控制卡上会显示成 ?")
        .arg(character, codes.join(u' '));
}

QString dryRunHeading(int line, const QString &port, int address) {
    return QStringLiteral("第 %1 行  %2  原地址 %3").arg(line).arg(port).arg(address);
}

QString dryRunFrame(const QString &label, const QString &hex) {
    return QStringLiteral("  %1  %2").arg(label, hex);
}

QString rowDone(int line, const QString &port, int address, const QStringList &done) {
    return QStringLiteral("%1：%2").arg(dryRunHeading(line, port, address), done.join(u'；'));
}

QString rowFailed(int line, const QString &port, int address, const QStringList &done,
                  const QString &why) {
    QString text = dryRunHeading(line, port, address) + u'：';
    if (!done.isEmpty())
        text += done.join(u'；') + u'；';
    return text + why;
}

QString rowsSummary(int total, int failed) {
    return failed == 0 ? QStringLiteral("计划共 %1 行，全部完成。").arg(total)
                       : QStringLiteral("计划共 %1 行：完成 %2，失败 %3。")
                             .arg(total)
                             .arg(total - failed)
                             .arg(failed);
}

QString rowsInterrupted(int total, int failed, int interrupted) {
    return QStringLiteral("已中断（Ctrl+C）。计划共 %1 行：完成 %2，失败 %3，中断或未开始 %4。")
        .arg(total)
        .arg(total - failed - interrupted)
        .arg(failed)
        .arg(interrupted);
}

QString rowsProgress(int finished, int failed, int total) {
    return QStringLiteral("计划已完成 %1/%2 行，其中失败 %3").arg(finished).arg(total).arg(failed);
}

QString planUnreadable(const QString &file, const QString &why) {
    return QStringLiteral("计划文件 %1 读不出来：%2").arg(file, why);
}

QString planRefused(qsizetype problems) {
    return QStringLiteral("计划有 %1 处错误，什么也没有发送。").arg(problems);
}

} // namespace msg::plan
