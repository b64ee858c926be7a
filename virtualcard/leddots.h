#pragma once

#include <QImage>
#include <QString>

// The dots of a card's LED display: charsPerRow × 16 dots wide, rows × 16 high, one pixel per
// dot, 255 lit and 0 dark. A Chinese character takes 16 × 16 dots, an ASCII character 8 × 16.
// The text runs along the rows and wraps to the next row where a character no longer fits; a
// line break (CR LF, CR or LF) starts a new row, a tab leaves 8 dots dark; what does not fit
// on the last row is not shown. Each character is drawn once into a 16-dot-high mask with a
// CJK face. Needs a QGuiApplication for the fonts.
class LedDots {
  public:
    static constexpr int kCellDots = 16;     // dots of a Chinese character, both ways
    static constexpr int kHalfCellDots = 8;  // width of an ASCII character
    static constexpr int kMaxRowsShown = 16; // larger displays show their top left part
    static constexpr int kMaxCharsShown = 32;

    static QImage render(const QString &text, int rows, int charsPerRow);

    // The mask of one character: width 8 or 16, height 16, 255 where a dot is lit.
    static QImage glyph(char32_t character);
};
