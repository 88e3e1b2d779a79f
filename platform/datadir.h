#pragma once

#include <QString>

namespace platform {

// The Windows rule: the temp path with every case-sensitive "Temp" replaced by "pelomir".
QString dataDirectoryFromTempPath(const QString &tempPath);

// Where the per-user data directory lives on this system, without a trailing separator.
// Linux: $XDG_DATA_HOME/pelomir (an absolute XDG_DATA_HOME only), else ~/.local/share/pelomir.
QString dataDirectoryPath();

// Creates the data directory if missing, and leaves it (new or not) open to its owner only.
// Returns false on failure.
bool createDataDirectory(const QString &path);

} // namespace platform
