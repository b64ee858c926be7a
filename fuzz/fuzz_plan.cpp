// The plan reader on arbitrary bytes, read as `stravik-cli apply` reads a file. Any bytes give
// rows or refusals, never both and never neither; every refusal of a row or a cell names a line
// of the input (1 up to its count of lines, a line break being LF, CR LF or a lone CR: neither
// UTF-8 nor code page 936 has 0x0A or 0x0D inside a character); the rows come in file order,
// each on a line of the input, at an address 1..255, their texts free of control characters
// other than tab and the line breaks.
#include "cli/plan.h"

#include <QBuffer>
#include <QRegularExpression>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool holds, const char *what, const QString &detail = {}) {
    if (!holds) {
        std::fprintf(stderr, "plan: %s %s\n", what, qPrintable(detail));
        std::abort();
    }
}

// The lines a text editor shows: one more than the line breaks, unless the input ends with one.
int lineCount(const QByteArray &bytes) {
    int breaks = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n' ||
            (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')))
            ++breaks;
    const bool endsWithBreak = bytes.endsWith('\n') || bytes.endsWith('\r');
    return endsWithBreak ? breaks : breaks + 1;
}

bool onlyAllowedControls(const std::optional<QString> &text) {
    if (!text)
        return true;
    for (const QChar c : *text)
        if (c.category() == QChar::Other_Control && c != u'\t' && c != u'\r' && c != u'\n')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    const PlanCheck plan = readPlan(file);
    check(plan.rows.empty() != plan.problems.isEmpty(), "not rows or refusals alone");

    const int lines = lineCount(bytes);
    static const QRegularExpression lineNamed(QStringLiteral("^第 (\\d+) 行"));
    for (const QString &problem : plan.problems) {
        check(!problem.isEmpty(), "an empty refusal");
        const QRegularExpressionMatch m = lineNamed.match(problem);
        if (m.hasMatch()) {
            const int line = m.captured(1).toInt();
            check(line >= 1 && line <= lines, "a refusal names a line the input lacks:", problem);
        }
    }

    int previous = 1; // the header's line at least
    for (const PlanRow &row : plan.rows) {
        check(row.line > previous && row.line <= lines, "a row on a line out of order or range");
        previous = row.line;
        check(row.address >= 1 && row.address <= 255, "a row's address outside 1..255");
        check(onlyAllowedControls(row.initialText) && onlyAllowedControls(row.text),
              "a text with a control character");
    }
    return 0;
}
