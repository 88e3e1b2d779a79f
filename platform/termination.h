#pragma once

#include <functional>

class QObject;

namespace platform {

// Turns the signals with which a desktop session or a service manager ends a program (SIGTERM,
// SIGINT, SIGHUP) into a call of `quit` on the thread of `context`, so the program can close as if
// its window were closed. The first such signal does this; a second one while `quit` runs ends the
// process at once, so a hung close can still be interrupted. Call once, on the GUI thread, after the
// application object exists; `context` must outlive the event loop. Does nothing where these
// signals do not exist.
void quitOnTerminationSignal(QObject *context, std::function<void()> quit);

} // namespace platform
