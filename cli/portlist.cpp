#include "cli/portlist.h"

#include "serial/portmap.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QJsonObject>

int listPorts(Console &console) {
    for (int n = kFirstCommPort; n <= kLastCommPort; ++n) {
        const QString item = QStringLiteral("COM%1").arg(n);
        const PortTarget target = portDevice(n);
        const QString description =
            target.device.isEmpty() ? QString() : describeDevice(target.device);
        QJsonObject fields{{"port", item}, {"device", target.device}};
        if (!target.ghost.isEmpty())
            fields.insert("ghost", target.ghost);
        if (description != target.device)
            fields.insert("description", description.mid(target.device.size() + 3));
        console.result(QStringLiteral("ports"), kExitDone,
                       target.device.isEmpty()
                           ? msg::noDevice(item, target.ghost)
                           : msg::cli::portLine(item, target.device, description),
                       fields);
    }
    return kExitDone;
}
