#pragma once

class QObject;

// Installs Qt's own Chinese (zh_CN) texts, whatever the system's language: the window is
// Chinese by design, and the texts Qt itself draws (a message box's details button, a text
// box's right-click menu) must be too. Looks in Qt's translations folder, then in
// translations/ beside the program (where the Windows package puts them). The translators are
// children of owner and leave the application with it. Returns how many catalogues it installed.
int installQtChinese(QObject *owner);
