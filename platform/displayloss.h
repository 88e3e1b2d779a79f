#pragma once

namespace platform {

// Qt's X11 plugin ends the program with exit() from inside the event loop when its display
// connection breaks. The pool and library threads are still running then, and the destructors of
// static objects that exit() runs pull state from under them. After this call, the process ends at
// once with status 1 instead, right after the plugin's report is logged. Call once, on the GUI
// thread, after the application object exists and after any log handler is installed.
void endAtOnceWhenDisplayLost();

} // namespace platform
