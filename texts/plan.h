#pragma once

#include <QString>

// The texts of `stravik-cli apply`: a plan's columns, its refusals and the lines of a dry run.
namespace msg::plan {

// The columns a plan may have, each named in English or in the window's words.
enum class Column { Port, Address, NewAddress, Rows, Chars, Data, Oe, Scan, InitialText, Text };
inline constexpr int kColumnCount = 10;
QString englishName(Column column);
QString chineseName(Column column);

// The file as a whole.
inline const QString kNotDecodable =
    QStringLiteral("计划文件既不是 UTF-8 也不是 GBK（代码页 936）编码，无法读取。");
inline const QString kNoHeader =
    QStringLiteral("计划文件是空的：第一行应是表头，如 port,address,rows,chars,data,oe,scan。");
inline const QString kNoRows = QStringLiteral("计划里只有表头，没有控制卡。");
// A file larger than the bound, or without end; one that failed while it was read.
QString tooLarge(qint64 maxMiB);
QString readFailed(const QString &why);
QString unknownColumn(const QString &name);
QString duplicateColumn(const QString &name);
QString missingColumn(Column column);
QString unnamedColumn(int position);

// A refusal of one cell, and of a whole row: "第 3 行 行数：<reason>".
QString cell(int line, const QString &column, const QString &reason);
QString row(int line, const QString &reason);
QString tooManyCells(qsizetype cells, qsizetype columns);
inline const QString kUnterminatedQuote = QStringLiteral("引号没有结束（到文件末尾）");
inline const QString kEmptyCell = QStringLiteral("不能为空");
inline const QString kBroadcast = QStringLiteral(
    "原地址 0 是广播地址，线上所有控制卡都会执行；计划的每一行是一张控制卡，请写它自己的地址");
inline const QString kDoesNothing =
    QStringLiteral("这一行既没有设置，也没有初始显示信息或显示信息，什么也不做");
// A control character in a text (any but tab and the line breaks), as U+XXXX.
QString controlCharacter(char16_t character);
// A character of a text that code page 936 lacks: the card would show a '?'.
QString notInCodePage(const QString &character);

// A dry run: a heading for each row, then its frames, one a line, or why it has none.
QString dryRunHeading(int line, const QString &port, int address);
QString dryRunFrame(const QString &label, const QString &hex);
inline const QString kFrameSettings = QStringLiteral("修改设置");
inline const QString kFrameReadBack = QStringLiteral("重启读回");
inline const QString kFrameInitialText = QStringLiteral("初始显示信息");
inline const QString kFrameText = QStringLiteral("显示信息");
inline const QString kNeedsReadBack = QStringLiteral(
    "只给了部分设置：其余的要先重启控制卡读回，不接控制卡给不出这一行的帧（预演要么给出行数、"
    "每行汉字数、数据正反向、OE正反向、扫描方式五项，要么一项也不给）");

// A plan run: a row done (what it did, in order) or failed (what it did before, and why), and
// the last line.
QString rowDone(int line, const QString &port, int address, const QStringList &done);
QString rowFailed(int line, const QString &port, int address, const QStringList &done,
                  const QString &why);
QString rowsSummary(int total, int failed);
// Ctrl+C over a plan: the rows done, failed, and cut or never started.
QString rowsInterrupted(int total, int failed, int interrupted);
QString rowsProgress(int finished, int failed, int total);
QString planUnreadable(const QString &file, const QString &why);
QString planRefused(qsizetype problems);

} // namespace msg::plan
