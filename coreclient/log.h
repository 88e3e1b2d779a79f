#pragma once

#include <QString>

namespace cc {

// The library's own log file, opened by cc_core_init. Without it lines are
// dropped. Any thread; takes the log mutex.
bool openLog(const QString &directory);
void closeLog();
void log(const QString &line);

} // namespace cc
