#include "cli/siteplan.h"

#include "protocol/frame.h"
#include "texts/plan.h"

#include <QStringList>

namespace {

// A cell as Excel reads CSV: in double quotes (doubled inside) where it holds a separator, a
// quote or a line break.
QString csvCell(const QString &value) {
    if (!value.contains(u',') && !value.contains(u'"') && !value.contains(u'\n') &&
        !value.contains(u'\r'))
        return value;
    QString quoted = value;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

} // namespace

bool SitePlan::open(const QString &path, QString *why) {
    file_ = std::make_unique<QSaveFile>(path);
    if (file_->open(QIODevice::WriteOnly))
        return true;
    *why = file_->errorString();
    file_.reset();
    return false;
}

void SitePlan::add(const QString &port, const CardReply &card) {
    rows_.push_back({port, card});
}

bool SitePlan::save(QString *why) {
    file_->write(bytes(rows_));
    if (file_->commit())
        return true;
    *why = file_->errorString();
    return false;
}

QByteArray SitePlan::bytes(const std::vector<Row> &rows) {
    using msg::plan::Column;
    QStringList header;
    for (const Column c : {Column::Port, Column::Address, Column::Rows, Column::Chars, Column::Data,
                           Column::Oe, Column::Scan})
        header << msg::plan::englishName(c);
    QString text = header.join(u',') + QStringLiteral("\r\n");
    for (const Row &row : rows) {
        const ReplyValues &v = row.card.values;
        const Polarities polarities = DecodePolarityFlags(v[3]);
        const ScanMode scan = DecodeScanMode(v[4]);
        const auto direction = [](bool forward) {
            return forward ? QStringLiteral("forward") : QStringLiteral("reverse");
        };
        text += QStringList{csvCell(row.port),
                            QString::number(v[0]),
                            QString::number(v[1]),
                            QString::number(v[2]),
                            direction(polarities.dataForward),
                            direction(polarities.oeForward),
                            scan == ScanMode::Full   ? QStringLiteral("full")
                            : scan == ScanMode::Half ? QStringLiteral("half")
                                                     : QString()}
                    .join(u',') +
                QStringLiteral("\r\n");
    }
    return QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
}
