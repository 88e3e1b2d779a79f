#pragma once

class QApplication;

// Debug-log lines that say where input goes: "focus: <object name>" whenever the keyboard moves and
// "window shown: <class> <object name> <title>" and "window hidden: …" for every top-level window
// (dialogs, menus, control windows) as it maps and unmaps. Support reads them to tell a lost keystroke from a
// slow one; the end-to-end scripts wait on them instead of on time. GUI thread only.
void installInputTrace(QApplication *app);
