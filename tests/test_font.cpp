#include "serial/openerror.h"
#include "tests/suites.h"
#include "tests/support/recordingform.h"
#include "texts/messages.h"
#include "window/form1.h"
#include "window/qttranslations.h"
#include "window/windowfont.h"

#include <QComboBox>
#include <QFile>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextLayout>

namespace {

Form1 *newForm() {
    return new Form1([](int n) { return PortTarget(QStringLiteral("/nonexistent/com%1").arg(n)); });
}

// The families whose glyphs draw text in font: one per run of the same face.
QStringList facesDrawing(const QString &text, const QFont &font) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    while (layout.createLine().isValid()) {
    }
    layout.endLayout();
    QStringList faces;
    for (const QGlyphRun &run : layout.glyphRuns()) {
        for (quint32 glyph : run.glyphIndexes())
            if (glyph == 0) // the face's "missing" box
                return {QStringLiteral("no face for ") + text};
        faces << run.rawFont().familyName();
    }
    faces.removeDuplicates();
    return faces;
}

// How many pixels text leaves dark on white.
int inkOf(const QString &text, const QFont &font) {
    QImage image(200, 40, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(4, 28, text);
    p.end();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ink += 255 - qGray(image.pixel(x, y));
    return ink;
}

bool hasSongti() {
    return QFontDatabase::hasFamily(QStringLiteral("宋体")) ||
           QFontDatabase::hasFamily(QStringLiteral("SimSun"));
}

} // namespace

class FontTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(!windowFontFamily().isEmpty(), "the window's face is not among the resources");
        QCOMPARE(QFontDatabase::styles(windowFontFamily()), QStringList{QStringLiteral("Regular")});
    }

    // The window drawn loads no font file for its texts: neither a CJK collection nor a bold
    // face. First of the tests, before any of them asks for a character beyond the face.
    void theWindowMapsNoFontFileForItsTexts() {
        if (hasSongti())
            QSKIP("宋体 is installed and draws the window's texts");
        auto f = std::make_unique<RecordingForm>();
        f->Form_Load();
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.get()));
        f->grab();
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        for (const QByteArray &line : maps.readAll().split('\n')) {
            const bool font =
                line.endsWith(".ttf") || line.endsWith(".ttc") || line.endsWith(".otf");
            QVERIFY2(!font || (!line.contains("CJK") && !line.endsWith(".ttc") &&
                               !line.contains("Bold") && !line.contains("bold")),
                     line.constData());
        }
    }

    // Every fixed text of the window, in the font of the control that shows it, is drawn by
    // the window's own face alone (where 宋体 is not installed, which would come first).
    void windowTextsAreDrawnByItsFace_data() {
        QTest::addColumn<QString>("control");
        QTest::newRow("caption labels") << "Label1";
        QTest::newRow("note labels") << "Label10";
        QTest::newRow("buttons") << "Command6";
        QTest::newRow("lists") << "Combo5";
        QTest::newRow("text boxes") << "RichTextBox1";
        QTest::newRow("open failures and tooltips") << "details";
        QTest::newRow("Qt's own words in Chinese") << "qt";
    }
    void windowTextsAreDrawnByItsFace() {
        QFETCH(QString, control);
        if (hasSongti())
            QSKIP("宋体 is installed and draws the window's texts");
        auto f = std::make_unique<RecordingForm>();
        f->Form_Load();
        const std::map<QString, std::pair<QFont, QStringList>> kinds{
            {"Label1",
             {f->Label1->font(),
              {f->Label1->text(), f->Label2->text(), f->Label7->text(), f->Label3->text(),
               f->Label4->text(), f->Label5->text(), f->Label8[0]->text(), f->Label8[1]->text()}}},
            {"Label10", {f->Label10->font(), {f->Label10->text(), f->Label6->text()}}},
            {"Command6",
             {f->Command6->font(),
              {f->Command6->text(), f->Command1->text(), f->Command2->text(), f->Command7->text(),
               f->Command3->text(), QStringLiteral("设置地址255初始显示信息(100)"),
               QStringLiteral("发送地址0显示信息(7)")}}},
            {"Combo5",
             {f->Combo5->font(),
              {msg::kForward, msg::kReverse, msg::kHalfScreen, msg::kFullScreen,
               QStringLiteral("COM8"), QStringLiteral("0123456789")}}},
            {"RichTextBox1",
             {f->RichTextBox1->font(),
              {f->RichTextBox1->toPlainText(), f->RichTextBox2->toPlainText(), msg::kOpenFailed,
               msg::kPortNotOpen, msg::notAByte(msg::kLabelCharsPerRow), msg::kBroadcastQuestion,
               msg::kNoGbkConversion, msg::kTextTooLong}}},
        };
        if (control == u"qt") {
            // The port error box's buttons and a text box's menu, as Qt's catalogue words them.
            QObject owner;
            QVERIFY(installQtChinese(&owner) > 0);
            const std::pair<const char *, const char *> kWords[] = {
                {"QPlatformTheme", "OK"},           {"QMessageBox", "Show Details..."},
                {"QMessageBox", "Hide Details..."}, {"QWidgetTextControl", "&Undo"},
                {"QWidgetTextControl", "&Redo"},    {"QWidgetTextControl", "Cu&t"},
                {"QWidgetTextControl", "&Copy"},    {"QWidgetTextControl", "&Paste"},
                {"QWidgetTextControl", "Delete"},   {"QWidgetTextControl", "Select All"},
                {"QLineEdit", "Select All"}};
            for (const auto &[context, source] : kWords) {
                const QString word = QCoreApplication::translate(context, source);
                QVERIFY2(word != QLatin1String(source), source);
                QCOMPARE(facesDrawing(word, f->Command6->font()), QStringList{windowFontFamily()});
            }
            return;
        }
        if (control == u"details") {
            // Every kind of open failure, network faults among them, and the port tooltips.
            QStringList texts{msg::noDevice("COM2", "/dev/ttyS1"),
                              msg::portNotOpened("COM2", "/dev/ttyUSB0"),
                              msg::networkLine("tcp://h:1"),
                              msg::networkLine("rfc2217://h:1"),
                              msg::lostDuringSend(1, 2),
                              msg::frameNotTaken(1, 2),
                              msg::kLostAwaitingReply};
            for (int kind = OpenError::NoDevice; kind <= OpenError::Network; ++kind)
                for (int fault = NetworkFault::BadAddress; fault <= NetworkFault::NotAccepted;
                     ++fault) {
                    OpenError e;
                    e.kind = OpenError::Kind(kind);
                    e.network.kind = NetworkFault::Kind(fault);
                    texts << msg::openFailureDetails(1, e)
                          << msg::openFailureDetails(1, e, msg::System::Windows);
                    if (kind != OpenError::Network)
                        break;
                    for (auto setting : {LineSetting::BaudRate, LineSetting::DataBits,
                                         LineSetting::Parity, LineSetting::StopBits}) {
                        e.network.setting = setting;
                        texts << msg::networkFault(e);
                    }
                }
            for (const QString &text : texts)
                QCOMPARE(facesDrawing(text, f->RichTextBox1->font()),
                         QStringList{windowFontFamily()});
            return;
        }
        const auto &[font, texts] = kinds.at(control);
        for (const QString &text : texts)
            QCOMPARE(facesDrawing(text, font), QStringList{windowFontFamily()});
    }

    // Text the operator types beyond the window's characters comes from an installed face;
    // the window's own characters beside it stay in the window's face.
    void typedTextBeyondTheFaceFallsBack_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("faces");
        QTest::newRow("Chinese") << QStringLiteral("鑫") << 1;
        QTest::newRow("beside the window's characters") << QStringLiteral("欢迎鑫") << 2;
    }
    void typedTextBeyondTheFaceFallsBack() {
        QFETCH(QString, text);
        QFETCH(int, faces);
        if (hasSongti())
            QSKIP("宋体 is installed and draws the window's texts");
        std::unique_ptr<Form1> f(newForm());
        const QStringList drawing = facesDrawing(text, f->RichTextBox2->font());
        QCOMPARE(drawing.size(), faces);
        QCOMPARE(drawing.contains(windowFontFamily()), faces == 2);
        QVERIFY2(!drawing.first().startsWith(QStringLiteral("no face")), qPrintable(drawing[0]));
    }

    // Bold is the regular face emboldened: darker than regular, and no bold face loaded.
    void boldIsEmboldenedFromTheRegularFace() {
        if (hasSongti())
            QSKIP("宋体 is installed and draws the window's texts");
        std::unique_ptr<Form1> f(newForm());
        QFont regular = f->Command1->font();
        regular.setBold(false);
        QVERIFY(f->Command1->font().bold());
        QCOMPARE(facesDrawing(f->Command1->text(), f->Command1->font()),
                 QStringList{windowFontFamily()});
        QVERIFY2(inkOf(f->Command1->text(), f->Command1->font()) >
                     inkOf(f->Command1->text(), regular) * 11 / 10,
                 "bold draws no darker than regular");
    }
};

STRAVIK_SUITE("font", FontTest);
#include "test_font.moc"
