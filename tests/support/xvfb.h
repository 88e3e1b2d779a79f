#pragma once

#include <QByteArray>
#include <QStandardPaths>
#include <QString>

#include <unistd.h>

#include <vector>

namespace testsupport {

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
    std::vector<QByteArray> args = {xvfbRun.toLocal8Bit(), "-a", "-s", QByteArray("-screen 0 ") + screen};
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
