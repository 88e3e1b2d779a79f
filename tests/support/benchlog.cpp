// Linked into every benchmark (see the top CMakeLists.txt), so that one prints its figures and little
// else: the debug and info lines of the code it measures, and the standard error of the servers it
// starts, go to the file named by $PELOMIR_BENCH_LOG, or nowhere without it. Warnings and worse still
// reach standard error.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex logLock;           // keeps lines whole when several threads log
std::FILE *logFile = nullptr; // never closed: pool threads may still log while the program exits
QtMessageHandler toStderr = nullptr;

// Any thread; takes the log lock around the write.
void benchMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg) {
        toStderr(type, context, text);
        return;
    }
    if (!logFile)
        return;
    const QByteArray line = qFormatLogMessage(type, context, text).toLocal8Bit() + '\n';
    std::lock_guard<std::mutex> hold(logLock);
    std::fwrite(line.constData(), 1, size_t(line.size()), logFile);
    std::fflush(logFile);
}

struct QuietBenchmark
{
    // Before main, on the only thread there is.
    QuietBenchmark()
    {
        const char *path = std::getenv("PELOMIR_BENCH_LOG");
        const bool logging = path && *path;
        if (logging)
            logFile = std::fopen(path, "ae");
        // Read by testsupport::ServerProcess; a caller's own choice stands.
        ::setenv("PELOMIR_SERVER_LOG", logging ? path : "/dev/null", 0);
        toStderr = qInstallMessageHandler(benchMessage);
    }
};

const QuietBenchmark quiet;

} // namespace
