#pragma once

#include "card/cardcommands.h"

#include <QSaveFile>
#include <QString>

#include <memory>
#include <vector>

// The settings that cards reported, saved as a plan `apply` takes, to put a site back as it
// was: one row a card with its port, its address and its five settings. Texts are not among
// them: a card does not report its texts.
class SitePlan {
  public:
    // Opens the file before any card is asked, so that a path that cannot be written refuses
    // the run at once; false with *why otherwise. The file appears whole, at save().
    bool open(const QString &path, QString *why);
    bool isOpen() const { return file_ != nullptr; }

    // A card that answered, on the port as the operator named it.
    void add(const QString &port, const CardReply &card);
    qsizetype rows() const { return qsizetype(rows_.size()); }
    // Writes the rows in the order given; false with *why when the file could not be written.
    bool save(QString *why);

    // The plan's bytes: UTF-8 with a BOM, so that Excel shows it as such, CR LF line ends, the
    // header in the plan's English column names. A scan mode that is neither half nor full is
    // left empty, which apply takes as "keep what the card holds".
    struct Row {
        QString port;
        CardReply card;
    };
    static QByteArray bytes(const std::vector<Row> &rows);

  private:
    std::unique_ptr<QSaveFile> file_;
    std::vector<Row> rows_;
};
