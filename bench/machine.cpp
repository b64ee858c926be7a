#include "bench/machine.h"

#include <QFile>

#include <sys/utsname.h>

QString cpuModel() {
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown processor");
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("model name")) {
            const qsizetype colon = line.indexOf(':');
            return QString::fromUtf8(line.mid(colon + 1)).simplified();
        }
    }
    return QStringLiteral("unknown processor");
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromUtf8(f.readAll()).section(u' ', 0, 0);
}

QString kernel() {
    utsname u{};
    if (::uname(&u) != 0)
        return QStringLiteral("unknown kernel");
    return QStringLiteral("%1 %2").arg(QString::fromUtf8(u.sysname), QString::fromUtf8(u.release));
}
