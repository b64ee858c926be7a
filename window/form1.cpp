#include "window/form1.h"

#include "protocol/frame.h"
#include "serial/line.h"
#include "texts/messages.h"
#include "window/lamp.h"
#include "window/startupphases.h"
#include "window/windowfont.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace {

// Places are given in twips; 15 twips make one pixel at 96 dots per inch.
int px(int twips) {
    return static_cast<int>(std::lround(twips / 15.0));
}

template <typename W> W *place(W *w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
    return w;
}

// The tool's own icon: a strip of red LED dots on a dark board.
QIcon makeIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(QColor(20, 20, 20));
    p.drawRoundedRect(QRectF(1.5, 6.5, 29, 19), 3, 3);
    // An "S" of lit dots in a 5 x 3 grid, the rest dim.
    static const char *rows[] = {"11111", "10000", "11111", "00001", "11111"};
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c) {
            const bool lit = rows[r][c] == '1';
            p.setPen(Qt::NoPen);
            p.setBrush(lit ? QColor(255, 30, 30) : QColor(70, 10, 10));
            p.drawEllipse(QRectF(5 + c * 4.6, 8.5 + r * 3.2, 3, 3));
        }
    p.end();
    return QIcon(pm);
}

// A label whose text fits a box one em high, as the window's captions are laid out: the CJK
// faces found on Linux carry a line height of about 1.45 em, which a plain QLabel would clip.
class CaptionLabel : public QLabel {
  public:
    using QLabel::QLabel;

  protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.setFont(font());
        p.setPen(palette().color(QPalette::WindowText));
        // CJK glyphs stand about 0.88 em above the baseline.
        const qreal baseline = std::round(font().pixelSize() * 0.88);
        // A face wider than the one the window was laid out for is narrowed to the box.
        const qreal textWidth = p.fontMetrics().horizontalAdvance(text());
        if (textWidth > width())
            p.scale(width() / textWidth, 1.0);
        p.drawText(QPointF(0, baseline), text());
    }
};

QLabel *makeLabel(QWidget *parent, const QString &text, const QFont &font) {
    const startup::Span span("labels");
    auto *l = new CaptionLabel(text, parent);
    l->setFont(font);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

// A command button whose click runs its command before the button is drawn released: a plain
// button repaints itself (the bold caption, about half a millisecond) before it reports the
// click, and the frame would wait for that. Here the repaint follows on the next turn of the
// loop. Keys (space) and programmatic clicks take the ordinary way.
class CommandButton : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void mouseReleaseEvent(QMouseEvent *e) override {
        if (e->button() == Qt::LeftButton && isDown() && hitButton(e->position().toPoint())) {
            e->accept();
            setDown(false);
            emit released();
            emit clicked(false);
            return;
        }
        QPushButton::mouseReleaseEvent(e);
    }
};

QPushButton *makeButton(QWidget *parent, const QString &caption) {
    const startup::Span span("buttons");
    auto *b = new CommandButton(caption, parent);
    b->setFont(songti(kPx10_5pt, true));
    b->setAutoDefault(false);
    return b;
}

// An editable list whose typed text reaches the commands exactly as typed: no completion, no
// insertion of typed text, and no matching of the text to an item when the field loses focus
// (which could change its case and would report a choice the operator never made).
//
// The field is given a completer of the window's before it goes into the list, which is then
// removed: a field without one gets a completer over the list's items, built with the list's
// drop-down, and thrown away at once (about half of what an editable list costs to make).
QComboBox *setUpList(QComboBox *c, const QString &text) {
    QWidget *window = c->window();
    auto *placeholder = window->findChild<QCompleter *>(QString(), Qt::FindDirectChildrenOnly);
    if (!placeholder)
        placeholder = new QCompleter(window);
    auto *field = new QLineEdit(c);
    field->setCompleter(placeholder);
    c->setLineEdit(field);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setCompleter(nullptr);
    c->setFont(songti(kPx9pt, false));
    c->setMaxVisibleItems(12);
    QObject::disconnect(c->lineEdit(), &QLineEdit::editingFinished, c, nullptr);
    c->setEditText(text);
    return c;
}

QComboBox *makeList(QWidget *parent, const QString &text) {
    const startup::Span span("lists");
    return setUpList(new QComboBox(parent), text);
}

// The port list, which tells the window when it opens so the items can name their devices
// as they are at that moment.
class PortList : public QComboBox {
  public:
    PortList(QWidget *parent, std::function<void()> aboutToOpen)
        : QComboBox(parent), aboutToOpen_(std::move(aboutToOpen)) {}

    void showPopup() override {
        aboutToOpen_();
        QComboBox::showPopup();
    }

  private:
    std::function<void()> aboutToOpen_;
};

QPlainTextEdit *makeTextBox(QWidget *parent, const QString &text) {
    const startup::Span span("text boxes");
    auto *t = new QPlainTextEdit(parent);
    t->setFont(songti(kPx9pt, false));
    t->setPlainText(text);
    return t;
}

// Adds an item; Qt selects the first item put into an empty list, but the window's lists keep
// their text and stay without a selection until an item is chosen.
void addItem(QComboBox *list, const QString &item) {
    const bool unselected = list->currentIndex() < 0;
    const QString text = list->currentText();
    list->addItem(item);
    if (unselected && list->currentIndex() >= 0) {
        list->setCurrentIndex(-1);
        list->setEditText(text);
    }
}

void addNumbers(QComboBox *list, int first, int last) {
    for (int i = first; i <= last; ++i)
        addItem(list, QString::number(i));
}

// Selects the item at a zero-based index, showing its text; an index the list does not hold is
// refused and leaves the list as it was. -1 clears the selection and the field.
void select(QComboBox *list, int index) {
    if (index < -1 || index >= list->count())
        return;
    list->setCurrentIndex(index);
    list->setEditText(index == -1 ? QString() : list->itemText(index));
}

// Closes the port; a close always succeeds.
void closePort(MSComm &port) {
    (void)port.setPortOpen(false);
}

// The line settings of every port; a valid string, taken by an open port as by a closed one.
void setLine(MSComm &port) {
    (void)port.setSettings(kCardLine.text());
}

// The busy cursor for as long as it lives. A network line takes seconds to open; the window
// keeps drawing meanwhile but holds the operator's input back until the line is settled.
class BusyCursor {
  public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

} // namespace

Form1::Form1(QWidget *parent) : Form1(portDevice, systemPorts, parent) {}

Form1::Form1(PortMapping mapping, QWidget *parent)
    : Form1(
          mapping, [mapping] { return mappedPorts(mapping); }, parent) {}

Form1::Form1(PortMapping mapping, PortFinder finder, QWidget *parent)
    : QWidget(parent), MSComm1(std::move(mapping)), Timer1(card.replyTimer()),
      findPorts_(std::move(finder)) {
    setWindowTitle(QStringLiteral("StravikV3.3"));
    setWindowIcon(makeIcon());
    setFixedSize(px(6735), px(5205));

    const QFont caption = songti(kPx10_5pt, false);
    const QFont note = songti(kPx9pt, true);
    QPalette red = palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));

    Label1 = place(makeLabel(this, msg::kCaptionPort, caption), 720, 165, 615, 255);
    {
        const startup::Span span("lists");
        Combo1 = setUpList(new PortList(this, [this] { refreshPorts(); }), QStringLiteral("COM1"));
        for (int i = kFirstCommPort; i <= kLastCommPort; ++i)
            addItem(Combo1, QStringLiteral("COM%1").arg(i));
    }
#ifdef Q_OS_WIN
    // Only Windows numbers ports past COM8. Elsewhere the list has nothing to add before it first
    // opens, and walking the system's ports (about 20 ms) would hold the window back.
    refreshPorts();
#endif
    place(Combo1, 1200, 120, 1335, 300);
    spDTR = place(new Lamp(this), 2520, 120, 405, 240);

    Label2 = place(makeLabel(this, msg::kLabelOriginalAddress, caption), 480, 555, 630, 210);
    Combo2 = place(makeList(this, QStringLiteral("0")), 1200, 480, 1335, 300);
    Label10 = makeLabel(this, msg::kNoteBroadcast, note);
    Label10->setPalette(red);
    place(Label10, 2640, 480, 3630, 180);

    Label7 = place(makeLabel(this, msg::kLabelNewAddress, caption), 480, 915, 630, 210);
    Combo8 = place(makeList(this, QStringLiteral("1")), 1200, 840, 1335, 300);
    RichTextBox1 = place(makeTextBox(this, QStringLiteral("RichTextBox1")), 3240, 720, 3135, 1695);

    Label3 = place(makeLabel(this, msg::kLabelRows, caption), 720, 1260, 615, 375);
    Combo3 = place(makeList(this, QStringLiteral("1")), 1200, 1200, 1335, 300);
    Label4 = place(makeLabel(this, msg::kLabelCharsPerRow, caption), 120, 1665, 1050, 210);
    Combo4 = place(makeList(this, QStringLiteral("4")), 1200, 1560, 1335, 300);
    Label5 = place(makeLabel(this, msg::kLabelData, caption), 120, 2010, 1050, 210);
    Combo5 = place(makeList(this, msg::kForward), 1200, 1920, 1335, 300);
    Label8[0] = place(makeLabel(this, msg::kLabelOe, caption), 240, 2355, 840, 210);
    Combo6 = place(makeList(this, msg::kForward), 1200, 2280, 1335, 300);
    Command6 = place(makeButton(this, msg::kButtonInitialText), 3240, 2520, 3135, 375);
    Label8[1] = place(makeLabel(this, msg::kLabelScan, caption), 240, 2715, 840, 210);
    Combo7 = place(makeList(this, msg::kHalfScreen), 1200, 2640, 1335, 300);

    Command1 = place(makeButton(this, msg::kButtonModify), 240, 3000, 1335, 375);
    Command2 = place(makeButton(this, msg::kButtonRestart), 1800, 3000, 2295, 375);

    // A line 3 pixels thick from (240, 3480) to (6720, 3480), centred on its y.
    Line1 = new QFrame(this);
    Line1->setFrameShape(QFrame::NoFrame);
    Line1->setAutoFillBackground(true);
    QPalette linePalette = Line1->palette();
    linePalette.setColor(QPalette::Window, QColor(0, 0, 0));
    Line1->setPalette(linePalette);
    Line1->setGeometry(px(240), px(3480) - 1, px(6720) - px(240) + 1, 3);

    RichTextBox2 = place(makeTextBox(this, msg::kStartCurrentText), 240, 3600, 6135, 855);
    Command7 = place(makeButton(this, msg::kButtonCurrentText), 360, 4515, 3015, 375);
    Command3 = place(makeButton(this, msg::kButtonExit), 4000, 4515, 1935, 375);
    Label6 = makeLabel(this, msg::kNoteTextLength, note);
    Label6->setPalette(red);
    place(Label6, 240, 4965, 4335, 180);

    connect(&card, &CardCommands::replyRead, this, &Form1::Timer1_Timer);
    connect(Combo1, &QComboBox::activated, this, &Form1::Combo1_Click);
    // Enter in its field opens what is typed there (eventFilter), taken once: the field passes
    // the key on to the list, which hands it back to the field.
    Combo1->lineEdit()->installEventFilter(this);
    // Scrolling over the port list must not move the link to another port.
    Combo1->installEventFilter(this);
    // A device that goes away while open leaves the port closed: the lamp shows it, as after
    // a failed open, without a message.
    connect(&MSComm1, &MSComm::portLost, this, [this] { setLampColor(0, 0, 0); });
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
}

Form1::~Form1() {
    closePort(MSComm1);
}

std::uint8_t Form1::SHR(std::uint8_t OPR, std::int16_t n) const {
    return ::SHR(OPR, n);
}

void Form1::setLampColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    spDTR->setFillColor(QColor(red, green, blue));
}

int Form1::msgBox(const QString &text, const QString &title, int style) {
    QMessageBox box(isVisible() ? this : nullptr);
    box.setWindowTitle(title);
    box.setText(text);
    if (!pendingDetails_.isEmpty())
        box.setDetailedText(std::exchange(pendingDetails_, QString()));
    box.setWindowIcon(windowIcon());
    QPushButton *ok = box.addButton(msg::kOk, QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    if (style == kMsgOkCancel) {
        QPushButton *cancel = box.addButton(msg::kCancel, QMessageBox::RejectRole);
        box.setEscapeButton(cancel);
    } else {
        box.setIcon(QMessageBox::Critical);
        box.setEscapeButton(ok);
    }
    box.exec();
    return box.clickedButton() == ok ? kMsgResultOk : kMsgResultCancel;
}

void Form1::Form_Load() {
    // The port is still closed, and 1 is a port number.
    (void)MSComm1.setCommPort(1);
    setLine(MSComm1);
    addNumbers(Combo2, 0, 255);
    addNumbers(Combo8, 1, 255);
    addNumbers(Combo3, 1, 8);
    addNumbers(Combo4, 4, 16);
    for (QComboBox *polarity : {Combo5, Combo6}) {
        addItem(polarity, msg::kForward);
        addItem(polarity, msg::kReverse);
        select(polarity, 1);
    }
    addItem(Combo7, msg::kHalfScreen);
    addItem(Combo7, msg::kFullScreen);
    select(Combo7, 0);
    RichTextBox1->setPlainText(msg::kStartInitialText);
    startup::mark("lists");
    OpenPort();
    startup::mark("port");
}

void Form1::OpenPort() {
    if (MSComm1.portOpen())
        return;
    const CommResult opened = [this] {
        const BusyCursor busy;
        return MSComm1.setPortOpen(true);
    }();
    if (opened != CommResult::Ok) {
        setLampColor(0, 0, 0);
        showOpenedDevice(false);
        openFailureDetails_ = msg::openFailureDetails(MSComm1.commPort(), MSComm1.openError());
        pendingDetails_ = openFailureDetails_;
        msgBox(msg::kOpenFailed, msg::kErrorTitle, kMsgCritical);
        pendingDetails_.clear();
        return;
    }
    openFailureDetails_.clear();
    setLampColor(255, 0, 0);
    showOpenedDevice(true);
}

void Form1::showOpenedDevice(bool opened) {
    const QString device = MSComm1.device();
    // A typed device or address names itself; an item names its number.
    const QString item =
        MSComm1.portName().isEmpty() ? QStringLiteral("COM%1").arg(MSComm1.commPort()) : QString();
    QString tip;
    if (!opened)
        tip = msg::portNotOpened(item, device);
    else if (KindOfPort(device) != LineKind::Local)
        tip = msg::networkLine(device);
    else
        tip = describeDevice(device);
    Combo1->setToolTip(tip);
    Combo1->setAccessibleDescription(tip);
}

void Form1::refreshPorts() {
    const QList<ListedPort> ports = findPorts_();
    QStringList above;
    for (const ListedPort &port : ports) {
        if (port.number > kLastCommPort)
            above.append(port.name());
    }
    QStringList listed;
    for (int i = kLastCommPort; i < Combo1->count(); ++i)
        listed.append(Combo1->itemText(i));
    if (above != listed) {
        // Taking items away may move the selection and the field: both are put back, and an
        // item that has gone leaves its name in the field, chosen no more.
        const int chosen = Combo1->currentIndex();
        const QString chosenItem = chosen >= 0 ? Combo1->itemText(chosen) : QString();
        const QString text = Combo1->currentText();
        while (Combo1->count() > kLastCommPort)
            Combo1->removeItem(Combo1->count() - 1);
        Combo1->addItems(above);
        Combo1->setCurrentIndex(chosenItem.isEmpty() ? -1 : Combo1->findText(chosenItem));
        Combo1->setEditText(text);
    }
    for (int i = 0; i < Combo1->count(); ++i) {
        const QString item = Combo1->itemText(i);
        const auto number = comNumber(item);
        const auto port = std::find_if(ports.begin(), ports.end(), [&](const ListedPort &p) {
            return number && p.number == *number;
        });
        const bool present = port != ports.end() && port->present();
        Combo1->setItemData(
            i,
            present ? describe(*port)
                    : msg::noDevice(item, port != ports.end() ? port->ghost : QString()),
            Qt::ToolTipRole);
    }
}

void Form1::Combo1_Click() {
    if (MSComm1.portOpen())
        closePort(MSComm1);
    // "COM1" to "COM8" and the ports past them name their number after "COM".
    const auto number = comNumber(Combo1->currentText());
    if (!number || MSComm1.setCommPort(*number) != CommResult::Ok) {
        setLampColor(0, 0, 0);
        msgBox(msg::kOpenFailed, msg::kErrorTitle, kMsgCritical);
        return;
    }
    setLine(MSComm1);
    OpenPort();
}

void Form1::Combo1_KeyPress() {
    const QString text = Combo1->currentText().trimmed();
    if (text.isEmpty())
        return;
    // "COM3" typed is COM3 chosen, whatever its case.
    if (const int item = Combo1->findText(text, Qt::MatchFixedString); item >= 0) {
        Combo1->setCurrentIndex(item);
        Combo1_Click();
        return;
    }
    if (MSComm1.portOpen())
        closePort(MSComm1);
    if (MSComm1.setPortName(text) != CommResult::Ok) {
        setLampColor(0, 0, 0);
        msgBox(msg::kOpenFailed, msg::kErrorTitle, kMsgCritical);
        return;
    }
    setLine(MSComm1);
    OpenPort();
}

void Form1::showError(const QString &text) {
    msgBox(text, msg::kErrorTitle, kMsgCritical);
}

bool Form1::refuseClosedPort() {
    if (MSComm1.portOpen())
        return false;
    showError(msg::kPortNotOpen);
    return true;
}

// A list's text as a number 0..255, or the operator is told which list is wrong.
std::optional<int> Form1::readByte(const QComboBox *list, const QString &label) {
    const auto value = ParseByteText(list->currentText());
    if (!value)
        showError(msg::notAByte(label));
    return value;
}

// A command that sent nothing tells the operator why.
void Form1::report(const CommandOutcome &outcome) {
    if (outcome.status == CommandOutcome::Refused)
        showError(msg::refusal(outcome.refusal));
    else if (outcome.status == CommandOutcome::PortClosed)
        showError(msg::kPortNotOpen);
}

void Form1::Command1_Click() {
    if (refuseClosedPort())
        return;
    // The four numbers in the order of the lists; the first that is not one is named.
    const std::pair<const QComboBox *, const QString &> numbers[] = {
        {Combo2, msg::kLabelOriginalAddress},
        {Combo8, msg::kLabelNewAddress},
        {Combo3, msg::kLabelRows},
        {Combo4, msg::kLabelCharsPerRow}};
    std::array<int, 4> read{};
    for (std::size_t i = 0; i < read.size(); ++i) {
        const auto value = readByte(numbers[i].first, numbers[i].second);
        if (!value)
            return;
        read[i] = *value;
    }
    const int address = read[0];
    SettingsValues values;
    values.newAddress = read[1];
    values.rows = read[2];
    values.charsPerRow = read[3];
    // Whole texts, compared as they stand: anything but "正向" is reverse, anything but
    // "全屏" is half screen.
    values.polarityFlags = EncodePolarityFlags(
        {Combo5->currentText() == msg::kForward, Combo6->currentText() == msg::kForward});
    values.scanMode = Combo7->currentText() == msg::kFullScreen ? 1 : 0;

    // Address 0 would give every card on the line the same new address.
    if (address == kAddressBroadcast &&
        msgBox(msg::kBroadcastQuestion, msg::kBroadcastTitle, kMsgOkCancel) != kMsgResultOk)
        return;
    report(card.modifySettings(address, values));
}

void Form1::Command2_Click() {
    if (refuseClosedPort())
        return;
    if (const auto address = readByte(Combo2, msg::kLabelOriginalAddress))
        report(card.restart(*address));
}

void Form1::Command3_Click() {
    close();
}

void Form1::sendText(DisplayText which, const QPlainTextEdit *box, QPushButton *button) {
    if (refuseClosedPort())
        return;
    // Every character as typed (a no-break space stays one), the lines as the card's.
    const QString text = WithCardLineBreaks(box->document()->toRawText());
    const auto address = readByte(Combo2, msg::kLabelOriginalAddress);
    if (!address)
        return;
    const CommandOutcome outcome = card.sendText(*address, which, text);
    report(outcome);
    if (outcome.status == CommandOutcome::Sent)
        button->setText(msg::textCaption(which, Combo2->currentText(), outcome.textBytes));
}

void Form1::Command6_Click() {
    sendText(DisplayText::Initial, RichTextBox1, Command6);
}

void Form1::Command7_Click() {
    sendText(DisplayText::Current, RichTextBox2, Command7);
}

// The card's settings selected in the lists; each list stands alone, and one that holds no
// item for its value keeps what it showed.
void Form1::Timer1_Timer(const std::optional<CardReply> &reply) {
    if (!reply)
        return;
    const ReplyValues &v = reply->values;
    select(Combo2, v[0]);
    select(Combo3, v[1] - 1);
    Combo4->setEditText(QString::number(v[2]));
    const Polarities polarities = DecodePolarityFlags(v[3]);
    select(Combo5, polarities.dataForward ? 0 : 1);
    select(Combo6, polarities.oeForward ? 0 : 1);
    switch (DecodeScanMode(v[4])) {
    case ScanMode::Full:
        select(Combo7, 1);
        break;
    case ScanMode::Half:
        select(Combo7, 0);
        break;
    case ScanMode::Unnamed:
        break;
    }
}

void Form1::closeEvent(QCloseEvent *event) {
    card.cancelReply();
    closePort(MSComm1);
    event->accept();
}

bool Form1::eventFilter(QObject *watched, QEvent *event) {
    if (watched == Combo1 && event->type() == QEvent::Wheel)
        return true;
    // The keyboard's keys reach the list, which passes them to its field past any filter; keys
    // sent to the field itself come here too.
    if ((watched == Combo1 || watched == Combo1->lineEdit()) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Combo1_KeyPress();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
