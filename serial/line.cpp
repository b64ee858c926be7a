#include "serial/line.h"

#include "serial/rfc2217line.h"
#include "serial/tcpline.h"

#ifdef Q_OS_WIN
#include "serial/win32line.h"
using LocalLine = Win32Line;
#else
#include "serial/serialline.h"
using LocalLine = SerialLine;
#endif

std::unique_ptr<Line> Line::create(const QString &device) {
    if (device.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive))
        return std::make_unique<Rfc2217Line>(device);
    // Any other address goes to the network line too, which names what it does not take.
    if (device.contains(QLatin1String("://")))
        return std::make_unique<TcpLine>(device);
    return std::make_unique<LocalLine>(device);
}
