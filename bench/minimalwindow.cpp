#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

// The smallest Qt 6 Widgets program that shows a window: what any such program pays on this
// machine before it does anything of its own. The window has the tool's size, so that both
// hand the X server a window of the same area.
//
// With --chinese-label it also shows one label of Chinese text in the default font: the
// floor of a window that shows any text, which has the font system (fontconfig, FreeType and
// a CJK face) to start up.
int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("minimal-window"));
    window.setFixedSize(449, 347);
    if (argc > 1 && std::strcmp(argv[1], "--chinese-label") == 0) {
        auto *label = new QLabel(QStringLiteral("串口"), &window);
        label->move(48, 11);
    }
    window.show();
    return app.exec();
}
