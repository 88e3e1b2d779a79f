#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <unistd.h>

#include <vector>

namespace testsupport {

// Arguments that start xvfb-run on a private screen ("1440x900x24"). Every `-a` run would otherwise
// begin its search for a free display at the same number, and two runs that start together can then
// end up on one server, where one of them is refused. A random starting number keeps them apart.
inline QStringList xvfbRunArguments(const char *screen)
{
    return {QStringLiteral("-n"), QString::number(100 + QRandomGenerator::global()->bounded(30000)),
            QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 ") + QLatin1String(screen)};
}

// Main thread, before the application object exists. Re-executes this test program through
// xvfb-run with a private X server of the given screen ("1600x1040x24"); in that re-run, selects the
// X11 platform and returns. Without xvfb-run it returns and the test decides what to skip.
inline void runUnderXvfb(int argc, char *argv[], const char *screen)
{
    if (!qEnvironmentVariableIsEmpty("PELOMIR_UNDER_XVFB")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        return;
    }
    const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    if (xvfbRun.isEmpty())
        return;
    qputenv("PELOMIR_UNDER_XVFB", "1");
    std::vector<QByteArray> args = {xvfbRun.toLocal8Bit()};
    for (const QString &a : xvfbRunArguments(screen))
        args.push_back(a.toLocal8Bit());
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::vector<char *> raw;
    for (QByteArray &a : args)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
}

// Main thread, before the application object: programs that need no real display draw offscreen
// unless QT_QPA_PLATFORM says otherwise, so they run where there is no X server.
inline void preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace testsupport
