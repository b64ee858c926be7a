#include "tests/support/fixtures.h"

PortOnPty::PortOnPty() : port([path = pty.slavePath()](int) { return PortTarget(path); }) {
    ready_ = pty.isValid() && port.setSettings(QStringLiteral("9600,n,8,1")) == CommResult::Ok &&
             port.setPortOpen(true) == CommResult::Ok;
}

WindowOnPty::WindowOnPty() {
    ready_ = pty.isValid() && form.load();
}
