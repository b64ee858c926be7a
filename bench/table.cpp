#include "bench/table.h"

#include <algorithm>

QString Table::render() const {
    QList<qsizetype> widths(header_.size(), 3);
    const auto measure = [&](const QStringList &row) {
        for (qsizetype i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    };
    measure(header_);
    for (const QStringList &row : rows_)
        measure(row);

    const auto line = [&](const QStringList &row) {
        QString out = QStringLiteral("|");
        for (qsizetype i = 0; i < widths.size(); ++i)
            out += u' ' + row.value(i).leftJustified(widths[i]) + QStringLiteral(" |");
        return out + u'\n';
    };
    QString out = line(header_);
    out += u'|';
    for (const qsizetype w : widths)
        out += QString(w + 2, u'-') + u'|';
    out += u'\n';
    for (const QStringList &row : rows_)
        out += line(row);
    return out;
}
