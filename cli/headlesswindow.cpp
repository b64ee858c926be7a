#include "cli/headlesswindow.h"

#include "protocol/commands.h"
#include "protocol/messages.h"

HeadlessWindow::HeadlessWindow() {
    // The texts the window's lists, boxes and buttons show before it loads.
    lists_[Control::Combo1].text = QStringLiteral("COM1");
    lists_[Control::Combo2].text = QStringLiteral("0");
    lists_[Control::Combo8].text = QStringLiteral("1");
    lists_[Control::Combo3].text = QStringLiteral("1");
    lists_[Control::Combo4].text = QStringLiteral("4");
    lists_[Control::Combo5].text = msg::kForward;
    lists_[Control::Combo6].text = msg::kForward;
    lists_[Control::Combo7].text = msg::kHalfScreen;
    boxes_[Control::RichTextBox1] = QStringLiteral("RichTextBox1");
    boxes_[Control::RichTextBox2] = QStringLiteral("测试通信协议！");
    captions_[Control::Command6] = QStringLiteral("设置（原地址）初始显示信息");
    captions_[Control::Command7] = QStringLiteral("发送（原地址）显示信息");

    timer_.setSingleShot(false);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (tickHandler_)
            tickHandler_();
        emit ticked();
    });
}

void HeadlessWindow::load() {
    for (int i = 1; i <= 8; ++i)
        addItem(Control::Combo1, QStringLiteral("COM%1").arg(i));
    FillLists(*this);
}

void HeadlessWindow::addItem(Control list, const QString &item) {
    lists_[list].items.append(item);
}

bool HeadlessWindow::setListIndex(Control list, int index) {
    List &l = lists_[list];
    if (index < -1 || index >= l.items.size())
        return false;
    l.index = index;
    l.text = index == -1 ? QString() : l.items[index];
    return true;
}

QString HeadlessWindow::listText(Control list) const {
    const auto found = lists_.find(list);
    return found == lists_.end() ? QString() : found->second.text;
}

void HeadlessWindow::setListText(Control list, const QString &text) {
    lists_[list].text = text;
}

QString HeadlessWindow::plainText(Control box) const {
    const auto found = boxes_.find(box);
    return found == boxes_.end() ? QString() : found->second;
}

QString HeadlessWindow::boxText(const QString &text) {
    QString normalized = text;
    normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalized.replace(u'\r', u'\n');
    normalized.replace(QChar::ParagraphSeparator, u'\n');
    normalized.replace(QChar::LineSeparator, u'\n');
    return normalized.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
}

void HeadlessWindow::setPlainText(Control box, const QString &text) {
    boxes_[box] = boxText(text);
}

void HeadlessWindow::setCaption(Control button, const QString &caption) {
    captions_[button] = caption;
}

QString HeadlessWindow::caption(Control button) const {
    const auto found = captions_.find(button);
    return found == captions_.end() ? QString() : found->second;
}

void HeadlessWindow::setLampColor(std::uint8_t, std::uint8_t, std::uint8_t) {}

void HeadlessWindow::setTimerInterval(std::chrono::milliseconds interval) {
    interval_ = interval;
    restartTimer();
}

void HeadlessWindow::setTimerEnabled(bool enabled) {
    timerEnabled_ = enabled;
    restartTimer();
}

void HeadlessWindow::restartTimer() {
    if (timerEnabled_ && interval_.count() > 0)
        timer_.start(std::max(interval_, minimumInterval_));
    else
        timer_.stop();
}

int HeadlessWindow::msgBox(const QString &text, const QString &, int style) {
    if (style == kMsgOkCancel)
        return broadcastAnswer_ ? kMsgResultOk : kMsgResultCancel;
    if (errorHandler_)
        errorHandler_(text);
    return kMsgResultOk;
}
