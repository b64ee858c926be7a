#pragma once

#include "virtualcard/cardbank.h"

#include <QWidget>

class LedMatrix;
class QComboBox;
class QLabel;
class QListWidget;
class VirtualCard;

// What the operator sees of the virtual cards: the display of one card as an LED matrix, its
// settings beside it, and the frames received, newest last, in hex with their meaning. It
// follows the card as frames arrive.
class CardWindow : public QWidget {
    Q_OBJECT
  public:
    CardWindow(VirtualCard &card, const QString &linePath, QWidget *parent = nullptr);

    // The card whose display is shown: an index into the bank's cards.
    int shownCard() const { return shown_; }

  private:
    void showCard(int index);
    void refresh();
    void addLogLine(const QString &line);
    void frameHandled(const FrameReport &report);
    void replySent(int card, const QByteArray &reply);

    VirtualCard &card_;
    int shown_ = 0;
    QComboBox *selector_;
    LedMatrix *matrix_;
    QLabel *settings_;
    QListWidget *log_;
};
