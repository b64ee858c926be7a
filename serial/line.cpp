#include "serial/line.h"

#include "serial/rfc2217line.h"
#include "serial/serialline.h"
#include "serial/tcpline.h"

std::unique_ptr<Line> Line::create(const QString &device) {
    if (device.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive))
        return std::make_unique<Rfc2217Line>(device);
    // Any other address goes to the network line too, which names what it does not take.
    if (device.contains(QLatin1String("://")))
        return std::make_unique<TcpLine>(device);
    return std::make_unique<SerialLine>(device);
}
