#pragma once

#include <QColor>
#include <QWidget>

// The status lamp: a small rectangle filled with one solid colour.
class Lamp : public QWidget {
    Q_OBJECT
  public:
    explicit Lamp(QWidget *parent = nullptr);

    QColor fillColor() const { return fill_; }
    void setFillColor(const QColor &color);

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    QColor fill_{Qt::black};
};
