#include "window/windowfont.h"

#include <QByteArray>
#include <QFontDatabase>
#include <QResource>
#include <QStringList>

namespace {

// Where the build puts the face among the program's resources (window/CMakeLists.txt).
const char *const kFontResource = ":/stravik/fonts/window.otf";

QString registerFace() {
    const QResource resource(QString::fromLatin1(kFontResource));
    if (!resource.isValid())
        return QString();
    // Stored uncompressed, the face is read where the program holds it, without a copy.
    const QByteArray bytes =
        resource.compressionAlgorithm() == QResource::NoCompression
            ? QByteArray::fromRawData(reinterpret_cast<const char *>(resource.data()),
                                      static_cast<qsizetype>(resource.size()))
            : resource.uncompressedData();
    const QStringList families =
        QFontDatabase::applicationFontFamilies(QFontDatabase::addApplicationFontFromData(bytes));
    return families.isEmpty() ? QString() : families.first();
}

} // namespace

QString windowFontFamily() {
    static const QString family = registerFace();
    return family;
}

QFont songti(int pixelSize, bool bold) {
    QStringList families{QStringLiteral("宋体"), QStringLiteral("SimSun"),
                         QStringLiteral("NSimSun")};
    if (const QString own = windowFontFamily(); !own.isEmpty())
        families << own;
    families << QStringLiteral("Noto Serif CJK SC") << QStringLiteral("Noto Sans CJK SC")
             << QStringLiteral("WenQuanYi Zen Hei");
    QFont f(families);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}
