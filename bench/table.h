#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A table printed as Markdown: a header row, a rule, then the rows, each column padded to its
// widest cell so that it also reads well on a terminal.
class Table {
  public:
    explicit Table(QStringList header) : header_(std::move(header)) {}
    void addRow(QStringList cells) { rows_.append(std::move(cells)); }
    QString render() const;

  private:
    QStringList header_;
    QList<QStringList> rows_;
};
