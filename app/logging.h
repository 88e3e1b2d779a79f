#pragma once

#include <QString>
#include <QtGlobal>

// Path of the debug log; logging is on only when this file exists at start.
extern const QString logFilePath;

inline constexpr const char *logMessagePattern =
    "[%{time yyyy-MM-dd hh:mm:ss}] %{threadid} %{file}.%{function} [%{line}] %{message}";

// Qt message handler: appends debug messages to logFilePath with CRLF line ends and drops the rest.
// Any thread; takes no lock (each call opens, appends and closes the file).
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Sets the pattern and installs the handler if `path` exists now. Returns whether it did.
bool installLogIfPresent(const QString &path);
