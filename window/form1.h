#pragma once

#include "protocol/commands.h"
#include "protocol/windowops.h"
#include "serial/mscomm.h"

#include <QTimer>
#include <QWidget>

#include <array>

class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class Lamp;

// The operator window: every control at its fixed place, the serial control and the reply
// timer, and one handler for each event the tool reacts to. The handlers hand the work to the
// card commands, which see the window only through WindowOperations.
class Form1 : public QWidget, public WindowOperations {
    Q_OBJECT
  public:
    // mapping turns a port number into a device; the program always uses portDevice.
    explicit Form1(PortMapping mapping = portDevice, QWidget *parent = nullptr);
    ~Form1() override;

    std::uint8_t SHR(std::uint8_t OPR, std::int16_t n) const;

    // WindowOperations
    void addItem(Control list, const QString &item) override;
    bool setListIndex(Control list, int index) override;
    QString listText(Control list) const override;
    void setListText(Control list, const QString &text) override;
    QString plainText(Control box) const override;
    void setPlainText(Control box, const QString &text) override;
    void setCaption(Control button, const QString &caption) override;
    void setLampColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) override;
    void setTimerInterval(std::chrono::milliseconds interval) override;
    void setTimerEnabled(bool enabled) override;
    int msgBox(const QString &text, const QString &title, int style) override;

    // The details under the message of the last failed open: the device and the reason.
    QString openFailureDetails() const { return openFailureDetails_; }
    // Names each item's device in its tooltip; runs each time the port list opens.
    void refreshPortTips();
    // The reply timer's interval after a restart. The program keeps kReplyDelay; tests whose
    // point is not the half second shorten it.
    void setReplyDelay(std::chrono::milliseconds delay) { replyDelay_ = delay; }

    MSComm MSComm1;
    QTimer Timer1;

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
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command6_Click();
    void Command7_Click();
    void Timer1_Timer();

  protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    QComboBox *list(Control c) const;
    QPlainTextEdit *textBox(Control c) const;
    void restartTimer();

    void showOpenedDevice(bool opened);

    QString openFailureDetails_;
    QString pendingDetails_; // shown under the next message box
    std::chrono::milliseconds timerInterval_{0};
    std::chrono::milliseconds replyDelay_ = kReplyDelay;
    bool timerEnabled_ = false;
};
