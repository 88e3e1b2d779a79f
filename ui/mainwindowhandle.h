#pragma once

#include <QByteArray>

class QWidget;

// The process-wide handle of the main window, so that any thread can post it a window message.

// GUI thread: the main window registers itself after building its form and clears the handle in its
// destructor. Takes the handle lock.
void setMainWindowHandle(QWidget *window);
// GUI thread. The registered main window, or null.
QWidget *mainWindowHandle();
// Any thread. Queues `message` with `buffer` to the main window; false (buffer dropped) when there is
// none. Takes the handle lock while posting, so the window cannot be destroyed in between.
bool postToMainWindow(int message, QByteArray buffer);
