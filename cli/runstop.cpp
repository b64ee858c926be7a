#include "cli/runstop.h"

RunStop::RunStop() : interruption_([this] { onInterrupt(); }) {
    cutAll_.setSingleShot(true);
    cutAll_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&cutAll_, &QTimer::timeout, [this] {
        for (CardSession *session : running_)
            session->cut();
    });
}

void RunStop::onInterrupt() {
    if (stopped_)
        return;
    stopped_ = true;
    for (CardSession *session : running_)
        session->stop(kGrace);
    cutAll_.start(kAllCut);
}
