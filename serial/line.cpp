#include "serial/line.h"

#include "serial/rfc2217line.h"
#include "serial/tcpline.h"

#include <QEventLoop>
#include <QTimer>

#include <utility>

#ifdef Q_OS_WIN
#include "serial/win32line.h"
using LocalLine = Win32Line;
#else
#include "serial/serialline.h"
using LocalLine = SerialLine;
#endif

namespace {

// A line that failed to signal costs a wait this long, not a hang.
constexpr std::chrono::milliseconds kLookAnyway{1000};

} // namespace

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

LineStep FinishStep(Line &line, const std::function<LineStep()> &step) {
    LineStep now = step();
    if (now != LineStep::Pending)
        return now;
    QEventLoop loop;
    // An activity may come before the loop runs (from inside step()); a quit then is lost.
    bool moved = false;
    const auto wake = [&] {
        moved = true;
        loop.quit();
    };
    QObject::connect(&line, &Line::activity, &loop, wake);
    QTimer lookAnyway;
    QObject::connect(&lookAnyway, &QTimer::timeout, &loop, wake);
    lookAnyway.start(kLookAnyway);
    while ((now = step()) == LineStep::Pending) {
        if (!std::exchange(moved, false))
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        moved = false;
    }
    return now;
}
