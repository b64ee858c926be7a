#include "virtualcard/ledmatrix.h"

#include <QPainter>

#include <algorithm>

namespace {

constexpr int kPreferredPitchPx = 5; // distance between dot centres
constexpr int kMinimumPitchPx = 2;
constexpr int kBorderPx = 8;
const QColor kBoard(0, 0, 0);
const QColor kLit(255, 40, 30);
const QColor kDark(55, 12, 10);

} // namespace

LedMatrix::LedMatrix(QWidget *parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void LedMatrix::setDots(const QImage &dots) {
    dots_ = dots;
    updateGeometry();
    update();
}

QSize LedMatrix::sizeHint() const {
    const QSize dots = dots_.isNull() ? QSize(64, 16) : dots_.size();
    const int pitch = std::max(kMinimumPitchPx, std::min(kPreferredPitchPx, 1100 / dots.width()));
    return dots * pitch + QSize(2 * kBorderPx, 2 * kBorderPx);
}

QSize LedMatrix::minimumSizeHint() const {
    const QSize dots = dots_.isNull() ? QSize(64, 16) : dots_.size();
    return dots * kMinimumPitchPx + QSize(2 * kBorderPx, 2 * kBorderPx);
}

void LedMatrix::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), kBoard);
    if (dots_.isNull())
        return;
    const int w = dots_.width();
    const int h = dots_.height();
    const int pitch =
        std::max(1, std::min((width() - 2 * kBorderPx) / w, (height() - 2 * kBorderPx) / h));
    const int left = (width() - pitch * w) / 2;
    const int top = (height() - pitch * h) / 2;
    const bool round = pitch >= 4;
    // Dots keep a dark gap between them whenever there is room for one.
    const double diameter = round ? pitch * 0.8 : std::max(1, pitch - 1);
    p.setPen(Qt::NoPen);
    if (round)
        p.setRenderHint(QPainter::Antialiasing);
    for (int y = 0; y < h; ++y) {
        const uchar *line = dots_.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            p.setBrush(line[x] ? kLit : kDark);
            const QRectF dot(left + x * pitch + (pitch - diameter) / 2,
                             top + y * pitch + (pitch - diameter) / 2, diameter, diameter);
            if (round)
                p.drawEllipse(dot);
            else
                p.drawRect(dot);
        }
    }
}
