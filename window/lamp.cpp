#include "window/lamp.h"

#include <QPainter>

Lamp::Lamp(QWidget *parent) : QWidget(parent) {}

void Lamp::setFillColor(const QColor &color) {
    if (color == fill_)
        return;
    fill_ = color;
    update();
}

void Lamp::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setPen(Qt::black);
    p.setBrush(fill_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}
