#pragma once

#include "cli/cardsession.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>
#include <vector>

// A plan for `stravik-cli apply`: a CSV file, one row a card under a header row that names the
// columns. Each row does, in order: the settings (with a read-back when any is given), the
// initial text, the text. Rows on one port run one after another, different ports at once.

// One card of a plan, its values read and checked.
struct PlanRow {
    int line = 0; // the line of the file the row begins on (the header is line 1)
    PortChoice port;
    QString portText; // the port as written, for the operator
    int address = 1;  // 1..255: a plan names each card
    SettingsChoice settings;
    bool anySetting = false;
    // Each as written; the card gets its line breaks as CR LF (WithCardLineBreaks).
    std::optional<QString> initialText, text;

    // The address the card answers to after the settings: the texts and the read-back go there.
    int addressAfter() const { return settings.newAddress.value_or(address); }
    // Whether the settings frame is known without the card: all five values given, or none.
    bool settingsComplete() const;
};

// The whole plan. The rows are fit to run only when there is no problem; problems name every
// refusal: of the file ("表头缺少列 port（串口）") and of each bad cell, by its line and its
// column as the header writes it ("第 3 行 行数：行数必须是0到255之间的整数！").
struct PlanCheck {
    std::vector<PlanRow> rows;
    QStringList problems;
};

// Reads a plan from the file's bytes: UTF-8 with or without a BOM, or code page 936.
PlanCheck readPlan(const QByteArray &fileBytes);

// The most a plan file may hold, far beyond any real plan of a few thousand cards.
inline constexpr qint64 kMaxPlanBytes = 16 * 1024 * 1024;
// Reads a plan from a file or buffer open for reading, at most kMaxPlanBytes + 1 bytes of it: a
// larger or endless one (/dev/zero, a FIFO whose writer never stops) is refused in bounded
// memory, as is one that cannot be read to its end.
PlanCheck readPlan(QIODevice &device);

// The rows of each port, as indices into rows in file order; the ports in the order they first
// appear. A port is the same when it is written the same (COMn in any case, or the same device
// or address).
std::vector<std::vector<std::size_t>> rowsByPort(const std::vector<PlanRow> &rows);

// A row's frames as they would go on the line, in order, each with its label and in hex
// ("A5 C0 58 1A"); or, for a row with some settings but not all five, why there are none.
struct DryRunFrame {
    QString label;
    QString hex;
};
struct DryRun {
    std::vector<DryRunFrame> frames;
    std::optional<QString> needsReadBack;
};
DryRun dryRun(const PlanRow &row);

// The lines --dry-run prints for a row: its heading, then each frame or the reason.
QStringList dryRunLines(const PlanRow &row);
