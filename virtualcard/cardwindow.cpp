#include "virtualcard/cardwindow.h"

#include "virtualcard/leddots.h"
#include "virtualcard/ledmatrix.h"
#include "virtualcard/virtualcard.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

namespace {

constexpr int kLogLines = 200;
constexpr int kLogHexBytes = 24; // longer frames show their first bytes and their length

QString polarityText(bool forward) {
    return forward ? QStringLiteral("正向 forward") : QStringLiteral("反向 reverse");
}

QString scanText(int mode) {
    if (mode == 0)
        return QStringLiteral("半屏 half (0)");
    if (mode == 1)
        return QStringLiteral("全屏 full (1)");
    return QString::number(mode);
}

// Texts in the settings column are cut to this many characters, so the matrix keeps its room.
constexpr int kShownTextChars = 28;

QString shortText(const QString &text) {
    const QString quoted = CardBank::quoted(text);
    return quoted.size() <= kShownTextChars ? quoted
                                            : quoted.left(kShownTextChars) + QStringLiteral("…");
}

QString shortHex(const QByteArray &bytes) {
    if (bytes.size() <= kLogHexBytes)
        return CardBank::hex(bytes);
    return CardBank::hex(bytes.left(kLogHexBytes)) +
           QStringLiteral(" … (%1 bytes)").arg(bytes.size());
}

} // namespace

CardWindow::CardWindow(VirtualCard &card, const QString &linePath, QWidget *parent)
    : QWidget(parent), card_(card) {
    setWindowTitle(QStringLiteral("虚拟控制卡 virtual card — %1").arg(linePath));

    selector_ = new QComboBox;
    for (std::size_t i = 0; i < card_.bank().cards().size(); ++i)
        selector_->addItem(QString());
    connect(selector_, &QComboBox::activated, this, &CardWindow::showCard);
    auto *selectorRow = new QHBoxLayout;
    selectorRow->addWidget(new QLabel(QStringLiteral("显示控制卡 card shown:")));
    selectorRow->addWidget(selector_);
    selectorRow->addStretch();
    auto *selectorBox = new QWidget;
    selectorBox->setLayout(selectorRow);
    selectorRow->setContentsMargins(0, 0, 0, 0);
    selectorBox->setVisible(card_.bank().cards().size() > 1);

    matrix_ = new LedMatrix;
    settings_ = new QLabel;
    settings_->setTextFormat(Qt::RichText);
    settings_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    settings_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    settings_->setMinimumWidth(260);

    log_ = new QListWidget;
    log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    log_->setSelectionMode(QAbstractItemView::NoSelection);

    auto *top = new QHBoxLayout;
    top->addWidget(matrix_, 1);
    top->addWidget(settings_);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(selectorBox);
    layout->addLayout(top, 3);
    layout->addWidget(new QLabel(QStringLiteral("收到的帧 frames received (hex, meaning):")));
    layout->addWidget(log_, 2);

    connect(&card_, &VirtualCard::frameHandled, this, &CardWindow::frameHandled);
    connect(&card_, &VirtualCard::replySent, this, &CardWindow::replySent);
    addLogLine(QStringLiteral("line open: %1").arg(linePath));
    refresh();
    resize(900, 500);
}

void CardWindow::showCard(int index) {
    shown_ = index;
    refresh();
}

void CardWindow::refresh() {
    const auto &cards = card_.bank().cards();
    for (std::size_t i = 0; i < cards.size(); ++i)
        selector_->setItemText(int(i), QStringLiteral("地址 address %1").arg(cards[i].address));
    selector_->setCurrentIndex(shown_);

    const CardState &c = cards[std::size_t(shown_)];
    matrix_->setDots(LedDots::render(c.shownText(), c.rows, c.charsPerRow));

    const auto row = [](const QString &name, const QString &value) {
        return QStringLiteral("<tr><td>%1</td><td><b>%2</b></td></tr>")
            .arg(name, value.toHtmlEscaped());
    };
    QString html = QStringLiteral("<table cellspacing=4>");
    html += row(QStringLiteral("地址 address"), QString::number(c.address));
    html += row(QStringLiteral("行数 rows"), QString::number(c.rows));
    html += row(QStringLiteral("每行汉字数 chars/row"), QString::number(c.charsPerRow));
    html += row(QStringLiteral("数据正反向 data"), polarityText(c.polarityFlags & 0x01));
    html += row(QStringLiteral("OE正反向 OE"), polarityText(c.polarityFlags & 0x10));
    html += row(QStringLiteral("扫描方式 scan"), scanText(c.scanMode));
    html += row(QStringLiteral("初始显示信息 initial"), shortText(c.initialText));
    html += row(QStringLiteral("显示信息 text"), shortText(c.displayText));
    html += row(QStringLiteral("正在显示 showing"), c.showsDisplayText
                                                        ? QStringLiteral("显示信息 text")
                                                        : QStringLiteral("初始显示信息 initial"));
    if (c.rows > LedDots::kMaxRowsShown || c.charsPerRow > LedDots::kMaxCharsShown)
        html += row(QString(), QStringLiteral("matrix cut to %1 × %2")
                                   .arg(LedDots::kMaxRowsShown)
                                   .arg(LedDots::kMaxCharsShown));
    html += QStringLiteral("</table>");
    settings_->setText(html);
}

void CardWindow::addLogLine(const QString &line) {
    log_->addItem(line);
    while (log_->count() > kLogLines)
        delete log_->takeItem(0);
    log_->scrollToBottom();
}

void CardWindow::frameHandled(const FrameReport &report) {
    addLogLine(QStringLiteral("%1   %2").arg(shortHex(report.raw), report.meaning));
    refresh();
}

void CardWindow::replySent(int card, const QByteArray &reply) {
    addLogLine(QStringLiteral("→ %1   card %2 answers")
                   .arg(CardBank::hex(reply))
                   .arg(card_.bank().cards()[std::size_t(card)].address));
}
