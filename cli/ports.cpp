#include "cli/ports.h"

#include "serial/portlist.h"
#include "texts/commandline.h"

#include <QJsonObject>

namespace {

QString hexId(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

int listPorts(Console &console) {
    for (const ListedPort &port : systemPorts()) {
        if (!console.json()) {
            console.line(msg::cli::portLine(port));
            continue;
        }
        QJsonObject fields{{"port", port.name()},
                           {"device", port.device},
                           {"description", port.description},
                           {"present", port.present()}};
        if (!port.ghost.isEmpty())
            fields.insert("ghost", port.ghost);
        if (port.usb) {
            fields.insert("vid", hexId(port.usb->vendor));
            fields.insert("pid", hexId(port.usb->product));
        }
        fields.insert("command", QStringLiteral("ports"));
        fields.insert("exit", kExitDone);
        console.json(fields);
    }
    return kExitDone;
}
