#pragma once

#include <QImage>
#include <QWidget>

// Draws a card's display as a matrix of round LED dots, lit red on a black board, scaled to
// the widget.
class LedMatrix : public QWidget {
    Q_OBJECT
  public:
    explicit LedMatrix(QWidget *parent = nullptr);

    // dots as LedDots::render gives them.
    void setDots(const QImage &dots);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    QImage dots_;
};
