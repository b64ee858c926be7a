#pragma once

#include <QFont>
#include <QString>

// The window's fonts: "宋体" first; where it is missing, the window's own face, and after it
// the installed CJK faces, which also draw what the operator types beyond the window's own
// characters.
//
// The window's own face is a copy of an installed CJK font cut down, when the program is
// built, to the characters of the window's captions, lists, start-up texts, notes and
// messages, and compiled into the program. So the window looks the same on every machine
// without 宋体, and loads one small face instead of a whole CJK font collection. It has only
// its regular: bold is emboldened from it, as 宋体's is, and no second face is loaded.

// 10.5 and 9 points at 96 dots per inch.
inline constexpr int kPx10_5pt = 14;
inline constexpr int kPx9pt = 12;

// The window's font at a pixel size.
QFont songti(int pixelSize, bool bold = false);

// Registers the window's own face with the font database on the first call; the family name
// it has there, or an empty string when it could not be registered.
QString windowFontFamily();
