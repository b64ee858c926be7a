#include "window/qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

int installQtChinese(QObject *owner) {
    const QStringList folders{QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                              QCoreApplication::applicationDirPath() +
                                  QStringLiteral("/translations")};
    int installed = 0;
    // qt_zh_CN, where present, brings the catalogues of Qt's other modules along.
    for (const QString &name : {QStringLiteral("qtbase_zh_CN"), QStringLiteral("qt_zh_CN")}) {
        auto *translator = new QTranslator(owner);
        bool loaded = false;
        for (const QString &folder : folders)
            if ((loaded = translator->load(name, folder)))
                break;
        if (loaded && QCoreApplication::installTranslator(translator))
            ++installed;
        else
            delete translator;
    }
    return installed;
}
