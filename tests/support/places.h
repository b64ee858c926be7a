#pragma once

#include <QRect>

#include <vector>

// Where each control of the window sits, in twips as the window is laid out (15 twips to a
// pixel at 96 dots per inch).
struct ControlPlace {
    const char *name; // the member of Form1; Label8(0) and Label8(1) as Label8_0 and Label8_1
    int left;
    int top;
    int width;
    int height;
    bool list = false; // an editable list: a click on it goes to its typing field

    QRect twips() const { return {left, top, width, height}; }
    QRect pixels() const;
};

const std::vector<ControlPlace> &controlPlaces();

// The place of the control with this name; an empty place when there is none.
const ControlPlace &controlPlace(const char *name);
