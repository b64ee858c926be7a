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

LineKind KindOfPort(const QString &port) {
    if (port.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive))
        return LineKind::Rfc2217;
    return port.contains(QLatin1String("://")) ? LineKind::Tcp : LineKind::Local;
}

std::unique_ptr<Line> Line::create(const QString &device) {
    switch (KindOfPort(device)) {
    case LineKind::Rfc2217:
        return std::make_unique<Rfc2217Line>(device);
    case LineKind::Tcp:
        return std::make_unique<TcpLine>(device);
    case LineKind::Local:
        break;
    }
    return std::make_unique<LocalLine>(device);
}

void Line::beginOpen(const LineSettings &settings) {
    openSettings_ = settings;
}

LineStep Line::openStep(OpenError *error) {
    return open(openSettings_, error) ? LineStep::Done : LineStep::Failed;
}

LineStep Line::drainStep() {
    if (!isOpen())
        return LineStep::Failed;
    // Qt's queue goes to the driver as the event loop turns; the driver's own wait is short
    // once it holds nothing more.
    if (unsentBytes() > 0)
        return LineStep::Pending;
    return drain() ? LineStep::Done : LineStep::Failed;
}
