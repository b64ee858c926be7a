#pragma once

#include "card/cardcommands.h"
#include "serial/portmap.h"
#include "window/form1.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class PtyPair;
class QComboBox;
class QPushButton;

// One message box as the window asked for it.
struct ShownMessage {
    QString text;
    QString title;
    int style = 0;
    bool windowVisible = false; // whether the window was on the screen when the box came
};

// The window with its message boxes recorded and answered with `answer` instead of shown, and
// each port number on a device of the test's choosing. A number without one names a device
// that does not exist, so a switch to it fails as on a machine without that port.
class RecordingForm : public Form1 {
  public:
    explicit RecordingForm(std::map<int, PortTarget> devices = {});
    // The port list offers what finder finds.
    RecordingForm(std::map<int, PortTarget> devices, PortFinder finder);
    // COM1 on the pty's slave.
    explicit RecordingForm(const PtyPair &pty);
    // COM1 on a device by its path.
    explicit RecordingForm(const QString &com1);
    // COM1 on whatever `com1` names at the moment of each open, so that a test can take the
    // device away and bring another back.
    explicit RecordingForm(std::shared_ptr<const QString> com1);

    int msgBox(const QString &text, const QString &title, int style) override;

    // Runs the load handler and shows the window as the program does; true when COM1 opened
    // without a message and the lamp turned red.
    bool load();

    // The operator picks "COM<number>" in the port list.
    void choosePort(int number);

    // Everything the port sends from now on, up to a marker written behind it. The marker
    // proves that nothing else is on its way, so an empty result means nothing was sent. With
    // the port closed the marker goes straight into the pty's slave, bypassing the window.
    QByteArray sentBeforeMarker(PtyPair &pty);

    // The boxes shown so far, one line each (describeMessage), for comparing against what is
    // expected.
    QStringList shown() const;

    QList<ShownMessage> messages;
    int answer = kMsgResultOk;
};

// A message box as one line: "[title] style N: text".
QString describeMessage(const QString &title, int style, const QString &text);
// The critical box with the error title that every refusal shows.
QString errorMessage(const QString &text);

// Clicks a button as the operator does.
void click(QPushButton *button);

// Sets the window up so that each command has one known frame (knownFrame, golden.h): card 1,
// new address 2, the lists' other start-up values, and "AB" in both text boxes.
void setKnownInputs(Form1 &form);

// Command1, Command2, Command3, Command6 or Command7 by its number.
QPushButton *commandButton(const Form1 &form, int number);

// The texts of the eight lists, Combo1 to Combo8.
QStringList listTexts(const Form1 &form);

// Picks the item that shows exactly this text, as the operator does from the drop-down; false
// when the list has none.
bool choose(QComboBox *list, const QString &text);
// Picks the item when the list has one, otherwise types the text over the list's own.
void chooseOrType(QComboBox *list, const QString &text);
