#include "cli/plan.h"

#include "cli/values.h"
#include "protocol/frame.h"
#include "texts/messages.h"
#include "texts/plan.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>

using msg::plan::Column;

namespace {

// The file's text: UTF-8 after a BOM or where the bytes are valid UTF-8, code page 936
// otherwise (what a Chinese Excel saves as CSV); nothing where neither reads them cleanly.
std::optional<QString> decodePlan(const QByteArray &bytes) {
    static const QByteArray bom("\xEF\xBB\xBF");
    const bool withBom = bytes.startsWith(bom);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(withBom ? bytes.mid(bom.size()) : bytes);
    if (!utf8.hasError())
        return text;
    if (withBom)
        return std::nullopt;
    QStringDecoder gbk("GBK", QStringConverter::Flag::Stateless);
    if (!gbk.isValid())
        return std::nullopt;
    text = gbk.decode(bytes);
    // A byte 0xFF and the code page's user-defined areas decode to private-use characters
    // without an error; no plan holds them, so such bytes are not code page 936 text either.
    const bool privateUse = std::any_of(text.begin(), text.end(), [](QChar c) {
        return c == QChar::ReplacementCharacter || c.category() == QChar::Other_PrivateUse;
    });
    if (gbk.hasError() || privateUse)
        return std::nullopt;
    return text;
}

// One record of the file as Excel writes CSV: cells separated by commas, a cell in double
// quotes may hold commas, line breaks and quotes (doubled).
struct Record {
    int line = 0; // where it begins
    QStringList cells;
    bool unterminated = false; // a quoted cell ran to the end of the file
};

bool isBreak(const QString &text, qsizetype i) {
    return text[i] == u'\n' || text[i] == u'\r';
}
// The length of the line break at i: CR LF is one break.
qsizetype breakLength(const QString &text, qsizetype i) {
    return text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n' ? 2 : 1;
}

std::vector<Record> splitCsv(const QString &text) {
    std::vector<Record> records;
    int line = 1;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        Record record{line, {}, false};
        QString cell;
        bool inQuotes = false, cellStart = true, recordEnd = false;
        while (i < n && !recordEnd) {
            const QChar c = text[i];
            if (inQuotes && c == u'"' && i + 1 < n && text[i + 1] == u'"') {
                cell += u'"';
                i += 2;
            } else if (inQuotes && c == u'"') {
                inQuotes = false;
                ++i;
            } else if (isBreak(text, i)) {
                const qsizetype length = breakLength(text, i);
                if (inQuotes)
                    cell += text.mid(i, length);
                recordEnd = !inQuotes;
                ++line;
                i += length;
            } else if (!inQuotes && c == u',') {
                record.cells << cell;
                cell.clear();
                cellStart = true;
                ++i;
                continue;
            } else if (c == u'"' && cellStart) {
                inQuotes = true;
                ++i;
            } else {
                cell += c;
                ++i;
            }
            cellStart = false;
        }
        record.cells << cell;
        record.unterminated = inQuotes;
        records.push_back(std::move(record));
    }
    return records;
}

bool isBlank(const Record &record) {
    for (const QString &cell : record.cells)
        if (!cell.trimmed().isEmpty())
            return false;
    return !record.unterminated;
}

std::optional<Column> columnNamed(const QString &name) {
    for (int k = 0; k < msg::plan::kColumnCount; ++k) {
        const auto column = static_cast<Column>(k);
        if (name.compare(msg::plan::englishName(column), Qt::CaseInsensitive) == 0 ||
            name.compare(msg::plan::chineseName(column), Qt::CaseInsensitive) == 0)
            return column;
    }
    return std::nullopt;
}

// The header's columns by position; problems where it is not a plan's.
std::vector<Column> readHeader(const Record &header, QStringList *names, QStringList *problems) {
    std::vector<Column> columns;
    std::array<bool, msg::plan::kColumnCount> seen{};
    if (header.unterminated)
        *problems << msg::plan::row(header.line, msg::plan::kUnterminatedQuote);
    for (qsizetype k = 0; k < header.cells.size(); ++k) {
        const QString name = header.cells[k].trimmed();
        const auto column = columnNamed(name);
        if (name.isEmpty())
            *problems << msg::plan::unnamedColumn(static_cast<int>(k) + 1);
        else if (!column)
            *problems << msg::plan::unknownColumn(name);
        else if (seen[static_cast<int>(*column)])
            *problems << msg::plan::duplicateColumn(name);
        else
            seen[static_cast<int>(*column)] = true;
        columns.push_back(column.value_or(Column::Port));
        *names << name;
    }
    for (const Column required : {Column::Port, Column::Address})
        if (!seen[static_cast<int>(required)])
            *problems << msg::plan::missingColumn(required);
    return columns;
}

// The first character of a text that code page 936 lacks (a surrogate pair as one).
std::optional<QString> missingCharacter(const QString &text, const CodePage936 &codePage) {
    // Every character the code page lacks becomes one '?', and no double-byte character holds
    // a '?' byte: the counts agree exactly when every character is there.
    if (codePage.encode(text).count('?') == text.count(u'?'))
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isSurrogate()) {
            const bool pair =
                c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
            return text.mid(i, pair ? 2 : 1);
        }
        if (c != u'?' && codePage.encode(QString(c)) == "?")
            return QString(c);
    }
    return std::nullopt;
}

// Why a display text cannot go to the card at address, if it cannot.
std::optional<QString> textRefusal(const QString &text, int address, std::uint8_t letter) {
    const CodePage936 &codePage = codePage936();
    if (!codePage.isValid())
        return msg::kNoGbkConversion;
    const QString sent = WithCardLineBreaks(text);
    if (const auto missing = missingCharacter(sent, codePage))
        return msg::plan::notInCodePage(*missing);
    const DisplayTextFrame built = BuildDisplayTextFrame(address, letter, sent, codePage);
    if (built.tooLong())
        return msg::kTextTooLong;
    return std::nullopt;
}

// One row's cells read into a PlanRow; every refusal goes to problems.
class RowReader {
  public:
    RowReader(const Record &record, const std::vector<Column> &columns, const QStringList &names,
              QStringList *problems)
        : record_(record), names_(names), problems_(problems) {
        row_.line = record.line;
        // Blanks are a text's own; around a value they are Excel's padding.
        for (qsizetype k = 0; k < qsizetype(columns.size()) && k < record.cells.size(); ++k) {
            const bool text = columns[k] == Column::InitialText || columns[k] == Column::Text;
            if (!(text ? record.cells[k] : record.cells[k].trimmed()).isEmpty())
                cells_[static_cast<int>(columns[k])] = k;
        }
    }

    std::optional<PlanRow> read() {
        readPortAndAddress();
        SettingsChoice &s = row_.settings;
        number(Column::NewAddress, msg::kLabelNewAddress, &s.newAddress);
        number(Column::Rows, msg::kLabelRows, &s.rows);
        number(Column::Chars, msg::kLabelCharsPerRow, &s.chars);
        word(Column::Data, &s.dataForward,
             [this](const QString &v) { return polarity(name(Column::Data), v); });
        word(Column::Oe, &s.oeForward,
             [this](const QString &v) { return polarity(name(Column::Oe), v); });
        word(Column::Scan, &s.fullScreen, [](const QString &v) { return fullScreen(v); });
        for (const Column c : {Column::NewAddress, Column::Rows, Column::Chars, Column::Data,
                               Column::Oe, Column::Scan})
            row_.anySetting = row_.anySetting || given(c);
        displayText(Column::InitialText, kLetterInitialText, &row_.initialText);
        displayText(Column::Text, kLetterDisplayText, &row_.text);
        if (!row_.anySetting && !given(Column::InitialText) && !given(Column::Text))
            refuseRow(msg::plan::kDoesNothing);
        return ok_ ? std::optional<PlanRow>(row_) : std::nullopt;
    }

  private:
    bool given(Column c) const { return cells_[static_cast<int>(c)] >= 0; }
    QString cell(Column c) const { return record_.cells[cells_[static_cast<int>(c)]]; }
    // The column as the header names it.
    QString name(Column c) const { return names_[cells_[static_cast<int>(c)]]; }
    void refuse(Column c, const QString &reason) {
        *problems_ << msg::plan::cell(row_.line, name(c), reason);
        ok_ = false;
    }
    void refuseRow(const QString &reason) {
        *problems_ << msg::plan::row(row_.line, reason);
        ok_ = false;
    }

    // Port and address are in every plan (the header has them) and in every row.
    void readPortAndAddress() {
        for (const Column c : {Column::Port, Column::Address})
            if (!given(c)) {
                *problems_ << msg::plan::cell(row_.line, columnName(c), msg::plan::kEmptyCell);
                ok_ = false;
            }
        if (given(Column::Port)) {
            row_.portText = cell(Column::Port).trimmed();
            try {
                row_.port = portChoice(row_.portText);
            } catch (const UsageError &e) {
                refuse(Column::Port, e.text);
            }
        }
        std::optional<int> address;
        if (number(Column::Address, msg::kLabelOriginalAddress, &address) &&
            *address == kAddressBroadcast)
            refuse(Column::Address, msg::plan::kBroadcast);
        row_.address = address.value_or(1);
    }

    // The header's name of a column of this plan.
    QString columnName(Column c) const {
        for (qsizetype k = 0; k < names_.size(); ++k)
            if (columnNamed(names_[k]) == c)
                return names_[k];
        return msg::plan::englishName(c);
    }

    // A number 0..255 by the window's rule; true when one was given and taken.
    bool number(Column c, const QString &label, std::optional<int> *value) {
        if (!given(c))
            return false;
        if (const auto refusal = readNumbers({{label, cell(c), value}})) {
            refuse(c, *refusal);
            return false;
        }
        return true;
    }

    template <typename Read> void word(Column c, std::optional<bool> *value, Read read) {
        if (!given(c))
            return;
        try {
            *value = read(cell(c).trimmed());
        } catch (const UsageError &e) {
            refuse(c, e.text);
        }
    }

    void displayText(Column c, std::uint8_t letter, std::optional<QString> *text) {
        if (!given(c))
            return;
        if (const auto refusal = textRefusal(cell(c), row_.addressAfter(), letter))
            refuse(c, *refusal);
        else
            *text = cell(c);
    }

    const Record &record_;
    const QStringList &names_;
    QStringList *problems_;
    // Each column's position in the record where its cell is not empty, -1 otherwise.
    std::array<qsizetype, msg::plan::kColumnCount> cells_ = [] {
        std::array<qsizetype, msg::plan::kColumnCount> none{};
        none.fill(-1);
        return none;
    }();
    PlanRow row_;
    bool ok_ = true;
};

QString hexOf(const Frame &frame) {
    return QString::fromLatin1(toByteArray(frame).toHex(' ').toUpper());
}

} // namespace

bool PlanRow::settingsComplete() const {
    const SettingsChoice &s = settings;
    return !anySetting || (s.rows && s.chars && s.dataForward && s.oeForward && s.fullScreen);
}

PlanCheck readPlan(const QByteArray &fileBytes) {
    PlanCheck check;
    const auto text = decodePlan(fileBytes);
    if (!text) {
        check.problems << msg::plan::kNotDecodable;
        return check;
    }
    std::vector<Record> records = splitCsv(*text);
    std::erase_if(records, isBlank);
    if (records.empty()) {
        check.problems << msg::plan::kNoHeader;
        return check;
    }
    QStringList names;
    const std::vector<Column> columns = readHeader(records.front(), &names, &check.problems);
    if (!check.problems.isEmpty())
        return check;
    if (records.size() == 1)
        check.problems << msg::plan::kNoRows;
    for (std::size_t r = 1; r < records.size(); ++r) {
        const Record &record = records[r];
        if (record.unterminated) {
            check.problems << msg::plan::row(record.line, msg::plan::kUnterminatedQuote);
        } else if (record.cells.size() > names.size()) {
            check.problems << msg::plan::row(
                record.line, msg::plan::tooManyCells(record.cells.size(), names.size()));
        } else if (auto row = RowReader(record, columns, names, &check.problems).read()) {
            check.rows.push_back(std::move(*row));
        }
    }
    if (!check.problems.isEmpty())
        check.rows.clear();
    return check;
}

std::vector<std::vector<std::size_t>> rowsByPort(const std::vector<PlanRow> &rows) {
    std::vector<std::vector<std::size_t>> groups;
    std::vector<QString> keys;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const PortChoice &p = rows[r].port;
        const QString key = p.device.isEmpty() ? QStringLiteral("COM%1").arg(p.number) : p.device;
        const auto found = std::find(keys.begin(), keys.end(), key);
        if (found == keys.end()) {
            keys.push_back(key);
            groups.push_back({r});
        } else {
            groups[found - keys.begin()].push_back(r);
        }
    }
    return groups;
}

DryRun dryRun(const PlanRow &row) {
    DryRun out;
    if (!row.settingsComplete()) {
        out.needsReadBack = msg::plan::kNeedsReadBack;
        return out;
    }
    const int after = row.addressAfter();
    if (row.anySetting) {
        const SettingsChoice &s = row.settings;
        SettingsValues values;
        values.newAddress = after;
        values.rows = *s.rows;
        values.charsPerRow = *s.chars;
        values.polarityFlags = EncodePolarityFlags({*s.dataForward, *s.oeForward});
        values.scanMode = *s.fullScreen ? 1 : 0;
        out.frames.push_back(
            {msg::plan::kFrameSettings, hexOf(BuildSettingsFrame(row.address, values))});
        out.frames.push_back({msg::plan::kFrameReadBack, hexOf(BuildRestartFrame(after))});
    }
    const std::pair<const std::optional<QString> &, std::uint8_t> texts[] = {
        {row.initialText, kLetterInitialText}, {row.text, kLetterDisplayText}};
    for (const auto &[text, letter] : texts)
        if (text)
            out.frames.push_back(
                {letter == kLetterInitialText ? msg::plan::kFrameInitialText
                                              : msg::plan::kFrameText,
                 hexOf(BuildDisplayTextFrame(after, letter, WithCardLineBreaks(*text)).frame)});
    return out;
}

QStringList dryRunLines(const PlanRow &row) {
    QStringList lines{msg::plan::dryRunHeading(row.line, row.portText, row.address)};
    const DryRun run = dryRun(row);
    if (run.needsReadBack)
        lines << QStringLiteral("  ") + *run.needsReadBack;
    for (const DryRunFrame &frame : run.frames)
        lines << msg::plan::dryRunFrame(frame.label, frame.hex);
    return lines;
}
