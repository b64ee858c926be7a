#include "window/windowfont.h"

#include <QByteArray>
#include <QFontDatabase>
#include <QResource>
#include <QStringList>

#include <initializer_list>

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

// The families of the window's fonts, of those named only the ones installed: a family the
// machine lacks would be looked for among fontconfig's substitutes and fallbacks again for
// every size, weight and script the window draws.
const QStringList &windowFamilies() {
    static const QStringList families = [] {
        QStringList out;
        const auto addInstalled = [&out](std::initializer_list<const char *> names) {
            for (const char *name : names)
                if (const QString family = QString::fromUtf8(name);
                    QFontDatabase::hasFamily(family))
                    out << family;
        };
        addInstalled({"宋体", "SimSun", "NSimSun"});
        if (const QString own = windowFontFamily(); !own.isEmpty())
            out << own;
        addInstalled({"Noto Serif CJK SC", "Noto Sans CJK SC", "WenQuanYi Zen Hei"});
        return out;
    }();
    return families;
}

} // namespace

QString windowFontFamily() {
    static const QString family = registerFace();
    return family;
}

QFont songti(int pixelSize, bool bold) {
    QFont f(windowFamilies());
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}
