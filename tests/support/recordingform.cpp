#include "tests/support/recordingform.h"

#include "tests/support/pty.h"
#include "texts/messages.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace {

QString absentDevice(int number) {
    return QStringLiteral("/nonexistent/stravik-com%1").arg(number);
}

PortMapping mapped(std::map<int, PortTarget> devices) {
    return [devices = std::move(devices)](int number) {
        const auto it = devices.find(number);
        return it == devices.end() ? PortTarget(absentDevice(number)) : it->second;
    };
}

PortMapping comOneOn(std::shared_ptr<const QString> com1) {
    return [com1 = std::move(com1)](int number) {
        return number == 1 ? PortTarget(*com1) : PortTarget(absentDevice(number));
    };
}

} // namespace

RecordingForm::RecordingForm(std::map<int, PortTarget> devices)
    : Form1(mapped(std::move(devices))) {}

RecordingForm::RecordingForm(std::map<int, PortTarget> devices, PortFinder finder)
    : Form1(mapped(std::move(devices)), std::move(finder)) {}

RecordingForm::RecordingForm(const PtyPair &pty) : RecordingForm(pty.slavePath()) {}

RecordingForm::RecordingForm(const QString &com1)
    : Form1(mapped(std::map<int, PortTarget>{{1, PortTarget(com1)}})) {}

RecordingForm::RecordingForm(std::shared_ptr<const QString> com1)
    : Form1(comOneOn(std::move(com1))) {}

int RecordingForm::msgBox(const QString &text, const QString &title, int style) {
    messages.append({text, title, style, isVisible()});
    return answer;
}

bool RecordingForm::load() {
    Form_Load();
    show();
    return MSComm1.portOpen() && messages.isEmpty() && spDTR->fillColor() == QColor(255, 0, 0);
}

void RecordingForm::choosePort(int number) {
    const int index = Combo1->findText(QStringLiteral("COM%1").arg(number));
    Combo1->setCurrentIndex(index);
    emit Combo1->activated(index);
}

QByteArray RecordingForm::sentBeforeMarker(PtyPair &pty) {
    const QByteArray &marker = endMarker();
    const bool written = MSComm1.portOpen() ? MSComm1.setOutput(marker) == CommResult::Ok
                                            : pty.writeIntoSlave(marker);
    if (!written)
        return QByteArrayLiteral("<marker not written>");
    QByteArray got = pty.readUntil(marker, std::chrono::seconds(10));
    if (!got.endsWith(marker))
        return got + QByteArrayLiteral("<no marker>");
    got.chop(marker.size());
    return got;
}

QStringList RecordingForm::shown() const {
    QStringList out;
    for (const ShownMessage &m : messages)
        out << describeMessage(m.title, m.style, m.text);
    return out;
}

QString describeMessage(const QString &title, int style, const QString &text) {
    return QStringLiteral("[%1] style %2: %3").arg(title).arg(style).arg(text);
}

QString errorMessage(const QString &text) {
    return describeMessage(msg::kErrorTitle, kMsgCritical, text);
}

void setKnownInputs(Form1 &form) {
    form.Combo2->setEditText(QStringLiteral("1"));
    form.Combo8->setEditText(QStringLiteral("2"));
    form.RichTextBox1->setPlainText(QStringLiteral("AB"));
    form.RichTextBox2->setPlainText(QStringLiteral("AB"));
}

void click(QPushButton *button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

QPushButton *commandButton(const Form1 &form, int number) {
    switch (number) {
    case 1:
        return form.Command1;
    case 2:
        return form.Command2;
    case 3:
        return form.Command3;
    case 6:
        return form.Command6;
    case 7:
        return form.Command7;
    default:
        return nullptr;
    }
}

QStringList listTexts(const Form1 &form) {
    QStringList out;
    for (const QComboBox *list : {form.Combo1, form.Combo2, form.Combo3, form.Combo4, form.Combo5,
                                  form.Combo6, form.Combo7, form.Combo8})
        out << list->currentText();
    return out;
}

bool choose(QComboBox *list, const QString &text) {
    const int index = list->findText(text, Qt::MatchExactly);
    if (index < 0)
        return false;
    list->setCurrentIndex(index);
    return list->currentText() == text;
}

void chooseOrType(QComboBox *list, const QString &text) {
    if (choose(list, text))
        return;
    list->lineEdit()->selectAll();
    if (text.isEmpty())
        QTest::keyClick(list->lineEdit(), Qt::Key_Backspace);
    else
        QTest::keyClicks(list->lineEdit(), text);
}
