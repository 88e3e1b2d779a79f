#pragma once

#include <QString>
#include <QtGlobal>

// Path of the debug log; logging is on only when this file exists at start.
extern const QString logFilePath;

inline constexpr const char *logMessagePattern =
    "[%{time yyyy-MM-dd hh:mm:ss}] %{threadid} %{file}.%{function} [%{line}] %{message}";

// Qt message handler: appends debug messages to logFilePath with CRLF line ends and drops the rest.
// Any thread (GUI, pool, library callbacks); takes the log's own lock around the append, which writes
// each line through to the file at once. The file stays open, and is opened again when it was deleted
// or rotated.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Sets the pattern and installs the handler if `path` exists now. Returns whether it did.
bool installLogIfPresent(const QString &path);
