#include "tests/suites.h"
#include "window/form1.h"
#include "window/qttranslations.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

// The texts Qt itself draws in the window, in Chinese once the program's translation loading
// has run, whatever the system's language.
namespace {

bool hasChinese(const QString &text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; });
}

// The port error box that the window shows when COM1 does not open: the texts of its buttons
// other than the window's own 确定.
QStringList portErrorBoxButtons() {
    QStringList texts;
    QTimer look;
    look.setInterval(10);
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (const QPushButton *button : box->findChildren<QPushButton *>())
            if (button->text() != QStringLiteral("确定"))
                texts << button->text();
        box->done(0);
        look.stop();
    });
    look.start();
    QTimer::singleShot(10000, &look, &QTimer::stop);
    Form1 form([](int) { return PortTarget(QStringLiteral("/nonexistent/ttyS0")); });
    form.Form_Load();
    return texts;
}

QStringList lineEditMenu() {
    QLineEdit edit(QStringLiteral("欢迎"));
    const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (const QAction *action : menu->actions())
        if (!action->isSeparator())
            texts << action->text();
    return texts;
}

} // namespace

class QtChineseTest : public QObject {
    Q_OBJECT
  private slots:
    void qtTexts_data() {
        QTest::addColumn<int>("where"); // 0: port error box, 1: text box menu
        QTest::addColumn<QString>("first");
        QTest::newRow("port error box: details button") << 0 << QStringLiteral("显示详情...");
        QTest::newRow("text box: right-click menu") << 1 << QString();
    }
    void qtTexts() {
        QFETCH(int, where);
        QFETCH(QString, first);
        QObject owner;
        QVERIFY2(installQtChinese(&owner) > 0,
                 "Qt's Chinese texts were not found (Debian: qt6-translations-l10n)");
        const QStringList texts = where == 0 ? portErrorBoxButtons() : lineEditMenu();
        QVERIFY(!texts.isEmpty());
        if (!first.isEmpty())
            QCOMPARE(texts.first(), first);
        for (const QString &text : texts)
            QVERIFY2(hasChinese(text), qPrintable(texts.join(QStringLiteral(" | "))));
    }
};

STRAVIK_SUITE("qtchinese", QtChineseTest);

#include "test_qtchinese.moc"
