#include "window/form1.h"
#include "window/windowfont.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    // The window's default font, which its lists, message boxes and tooltips take; it also
    // keeps the application's default face from being loaded for the lists' edit fields.
    QApplication::setFont(songti(kPx9pt));
    Form1 form;
    form.Form_Load();
    form.show();
    return app.exec();
}
