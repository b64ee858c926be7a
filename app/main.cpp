#include "window/form1.h"
#include "window/qttranslations.h"
#include "window/startupphases.h"
#include "window/windowfont.h"

#include <QApplication>
#include <QFontMetrics>

int main(int argc, char *argv[]) {
    startup::mark("before main");
    QApplication app(argc, argv);
    startup::mark("application");
    // Qt's own texts (a message box's details button, a text box's menu) in Chinese, as the
    // window is, whatever the system's language.
    installQtChinese(&app);
    startup::mark("translations");
    // The window's default font, which its lists, message boxes and tooltips take; it also
    // keeps the application's default face from being loaded for the lists' edit fields.
    // Loaded here, so that its cost is not counted into the first control that shows text.
    QApplication::setFont(songti(kPx9pt));
    (void)QFontMetrics(QApplication::font()).height();
    startup::mark("fonts");
    Form1 form;
    startup::mark("controls");
    form.Form_Load();
    form.show();
    startup::mark("show");
    startup::reportAfterFirstPaint(&form);
    return app.exec();
}
