#include "virtualcard/leddots.h"

#include <QFont>
#include <QHash>
#include <QPainter>

#include <algorithm>

namespace {

// Where the baseline sits in the 16-dot cell: a CJK face puts about 7/8 of the em above it.
constexpr int kBaselineDots = 14;
// Edge pixels of the antialiased glyph that are at least this bright light their dot; above
// one half, so that strokes stay about one dot wide.
constexpr int kLitThreshold = 170;

QFont ledFont() {
    // A monospaced CJK face draws ASCII at exactly half the width of a Chinese character.
    QFont f(QStringList{QStringLiteral("Noto Sans Mono CJK SC"),
                        QStringLiteral("WenQuanYi Zen Hei Mono"),
                        QStringLiteral("WenQuanYi Micro Hei Mono"),
                        QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei")});
    f.setPixelSize(LedDots::kCellDots);
    f.setStyleHint(QFont::Monospace);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

bool isHalfWidth(char32_t c) {
    return c < 0x80;
}

} // namespace

QImage LedDots::glyph(char32_t character) {
    static QHash<char32_t, QImage> cache;
    const auto found = cache.constFind(character);
    if (found != cache.cend())
        return *found;

    const int width = isHalfWidth(character) ? kHalfCellDots : kCellDots;
    QImage mask(width, kCellDots, QImage::Format_Grayscale8);
    mask.fill(0);
    {
        QPainter p(&mask);
        static const QFont font = ledFont();
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QPointF(0, kBaselineDots), QString::fromUcs4(&character, 1));
    }
    for (int y = 0; y < mask.height(); ++y) {
        uchar *line = mask.scanLine(y);
        for (int x = 0; x < width; ++x)
            line[x] = line[x] >= kLitThreshold ? 255 : 0;
    }
    cache.insert(character, mask);
    return mask;
}

QImage LedDots::render(const QString &text, int rows, int charsPerRow) {
    const int shownRows = std::clamp(rows, 0, kMaxRowsShown);
    const int shownChars = std::clamp(charsPerRow, 0, kMaxCharsShown);
    QImage dots(std::max(shownChars * kCellDots, 1), std::max(shownRows * kCellDots, 1),
                QImage::Format_Grayscale8);
    dots.fill(0);
    if (shownRows == 0 || shownChars == 0)
        return dots;

    const int width = shownChars * kCellDots;
    int row = 0;
    int x = 0;
    const QList<uint> characters = text.toUcs4();
    QPainter p(&dots);
    for (qsizetype i = 0; i < characters.size() && row < shownRows; ++i) {
        const char32_t c = characters[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < characters.size() && characters[i + 1] == '\n')
                ++i;
            ++row;
            x = 0;
            continue;
        }
        if (c < 0x20 && c != '\t')
            continue;
        const int w = isHalfWidth(c) ? kHalfCellDots : kCellDots;
        if (x + w > width) {
            ++row;
            x = 0;
            if (row >= shownRows)
                break;
        }
        if (c != '\t')
            p.drawImage(x, row * kCellDots, glyph(c));
        x += w;
    }
    return dots;
}
