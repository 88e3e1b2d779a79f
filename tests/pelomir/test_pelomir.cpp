// The program's top: start-up of the real executable, and the order in which it ends.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class TestPelomir : public QObject
{
    Q_OBJECT

private slots:
    void executableStartUp();
    void exitWaitsForPoolTasks();
    void endsWhenTheDisplayGoes();
};

void TestPelomir::executableStartUp()
{
    const QString exe = qEnvironmentVariable("PELOMIR_BIN_DIR") + QStringLiteral("/pelomir");
    if (!QFileInfo::exists(exe))
        QSKIP("pelomir executable not built");

    for (const bool withLog : {false, true}) {
        QTemporaryDir home;
        const QString data = home.path() + QStringLiteral("/pelomir");
        if (withLog) {
            QVERIFY(QDir().mkpath(data + QStringLiteral("/log")));
            writeFile(data + QStringLiteral("/log/debug.log"), QByteArray());
        }
        QVERIFY(QDir().mkpath(data + QStringLiteral("/ObjUpload/keep")));
        writeFile(data + QStringLiteral("/ObjUpload/part.tmp"), "x");
        writeFile(data + QStringLiteral("/ObjUpload/keep/inner"), "y");

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        p.start(exe, QStringList());
        QVERIFY(p.waitForStarted());
        if (withLog) {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(data + QStringLiteral("/log/debug.log")).size() > 0, 20000);
        } else {
            QByteArray err;
            QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("start, version"), 20000);
        }
        // The main window makes the library's log folder while it is being built.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(data + QStringLiteral("/log")).isDir(), 20000);
        // SIGTERM closes it the orderly way, with status 0.
        p.terminate();
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        QVERIFY(QFileInfo(data + QStringLiteral("/screenshot")).isDir());
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("/ObjUpload/part.tmp")));
        QVERIFY(QFileInfo::exists(data + QStringLiteral("/ObjUpload/keep/inner")));
        if (withLog) {
            QFile f(data + QStringLiteral("/log/debug.log"));
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QString first = QString::fromLocal8Bit(f.readLine());
            QVERIFY2(
                QRegularExpression(
                    QStringLiteral(
                        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \S+ \S+\.\S+ \[\d+\] start, version "1\.1\.0"\r\n$)"))
                    .match(first)
                    .hasMatch(),
                qPrintable(first));
        } else {
            QVERIFY(!QFileInfo::exists(data + QStringLiteral("/log/debug.log")));
        }
    }
}

// Pool tasks still running when main returns must find the account model and the session manager
// alive; the tasks queued behind them are dropped, never run on destroyed objects.
void TestPelomir::exitWaitsForPoolTasks()
{
    QProcess probe;
    probe.setProgram(qEnvironmentVariable("PELOMIR_BIN_DIR") + QStringLiteral("/pelomir-exit-probe"));
    probe.start();
    QVERIFY(probe.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(probe.readAllStandardError());
    QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0, qPrintable(err));
    const QRegularExpressionMatch busy =
        QRegularExpression(QStringLiteral("quitting with (\\d+) workers")).match(err);
    QVERIFY2(busy.hasMatch(), qPrintable(err));
    QVERIFY2(err.count(QStringLiteral("task finished")) >= busy.captured(1).toInt(), qPrintable(err));
}

void TestPelomir::endsWhenTheDisplayGoes()
{
    const QString exe = qEnvironmentVariable("PELOMIR_BIN_DIR") + QStringLiteral("/pelomir");
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (!QFileInfo::exists(exe) || xvfb.isEmpty())
        QSKIP("needs the pelomir executable and Xvfb");
    // Xvfb picks a free display and writes its number to the pipe given by -displayfd.
    QProcess server;
    server.setProgram(xvfb);
    server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                         QStringLiteral("0"), QStringLiteral("1280x900x24")});
    server.start();
    QVERIFY(server.waitForStarted());
    QByteArray display;
    QTRY_VERIFY_WITH_TIMEOUT((display += server.readAllStandardOutput()).contains('\n'), 20000);

    QTemporaryDir home;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(display.trimmed()));
    p.setProcessEnvironment(env);
    p.start(exe, QStringList());
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(home.path() + QStringLiteral("/pelomir/log")).isDir(), 20000);
    // Qt leaves with exit() once its display is gone; the worker pool must not hold the process then.
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QVERIFY2(p.waitForFinished(20000), "the client hangs after losing its display");
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
}

QTEST_GUILESS_MAIN(TestPelomir)
#include "test_pelomir.moc"
