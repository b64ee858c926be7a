#pragma once

#include "card/cardcommands.h"
#include "serial/mscomm.h"
#include "serial/portlist.h"

#include <QWidget>

#include <array>
#include <optional>

class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class Lamp;

// Message box styles and answers, as the window shows them.
inline constexpr int kMsgCritical = 16; // critical icon, one button "确定"
inline constexpr int kMsgOkCancel = 1;  // "确定" and "取消", OK the default, no icon
inline constexpr int kMsgResultOk = 1;
inline constexpr int kMsgResultCancel = 2;

// The operator window: every control at its fixed place, the serial control, and one handler
// for each event the tool reacts to. The handlers turn the lists' texts into values, hand them
// to the card commands, and show what came of it.
class Form1 : public QWidget {
    Q_OBJECT
  public:
    // The machine's ports: each number opens its portDevice, and the port list offers what
    // systemPorts finds.
    explicit Form1(QWidget *parent = nullptr);
    // mapping turns a port number into a device, and the list offers COM1..COM8 as it gives
    // them; finder, where given, finds what the list offers instead.
    explicit Form1(PortMapping mapping, QWidget *parent = nullptr);
    Form1(PortMapping mapping, PortFinder finder, QWidget *parent = nullptr);
    ~Form1() override;

    std::uint8_t SHR(std::uint8_t OPR, std::int16_t n) const;

    // Shows a modal message box; returns kMsgResultOk or kMsgResultCancel.
    virtual int msgBox(const QString &text, const QString &title, int style);

    // The details under the message of the last failed open: the device and the reason.
    QString openFailureDetails() const { return openFailureDetails_; }
    // Reads the ports again: COM1..COM8, then the ports found past COM8, each item naming its
    // device in its tooltip; the choice shown stays. Runs each time the port list opens.
    void refreshPorts();
    // The reply timer's interval after a restart. The program keeps kReplyDelay; tests whose
    // point is not the half second shorten it.
    void setReplyDelay(std::chrono::milliseconds delay) { card.setReplyDelay(delay); }

    MSComm MSComm1;
    CardCommands card{MSComm1};
    // The reply timer, run by the card commands.
    const QTimer &Timer1;

    QLabel *Label1;
    QComboBox *Combo1;
    Lamp *spDTR;
    QLabel *Label2;
    QComboBox *Combo2;
    QLabel *Label10;
    QLabel *Label7;
    QComboBox *Combo8;
    QPlainTextEdit *RichTextBox1;
    QLabel *Label3;
    QComboBox *Combo3;
    QLabel *Label4;
    QComboBox *Combo4;
    QLabel *Label5;
    QComboBox *Combo5;
    std::array<QLabel *, 2> Label8;
    QComboBox *Combo6;
    QPushButton *Command6;
    QComboBox *Combo7;
    QPushButton *Command1;
    QPushButton *Command2;
    QFrame *Line1;
    QPlainTextEdit *RichTextBox2;
    QPushButton *Command7;
    QPushButton *Command3;
    QLabel *Label6;

  public slots:
    void Form_Load();
    void OpenPort();
    void Combo1_Click();
    // Enter in the port list's field: opens the device or network address typed there.
    void Combo1_KeyPress();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command6_Click();
    void Command7_Click();
    void Timer1_Timer(const std::optional<CardReply> &reply);

  protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void showError(const QString &text);
    bool refuseClosedPort();
    std::optional<int> readByte(const QComboBox *list, const QString &label);
    void sendText(DisplayText which, const QPlainTextEdit *box, QPushButton *button);
    void report(const CommandOutcome &outcome);
    void setLampColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
    void showOpenedDevice(bool opened);

    PortFinder findPorts_;
    QString openFailureDetails_;
    QString pendingDetails_; // shown under the next message box
};
