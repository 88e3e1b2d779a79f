#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

namespace testsupport {

// Folder of the server programs: $PELOMIR_BIN_DIR when set, else the folder of the running
// executable (tests, benchmarks and servers are all built into one bin folder).
QString binDir();

// A server program of the stack and how it announces itself: the arguments that put it on free
// ports, and one pattern per address line it prints on standard output, each capturing a port.
struct ServerKind
{
    QString program; // in binDir() unless absolute
    QStringList freePortArgs;
    QStringList addressLines;

    static ServerKind provider();
    static ServerKind farm();
    // The s3rver object store (from PATH; scripts/setup installs it) keeping its objects in `dataDir`,
    // with `bucket` created. It logs every stored object and part on standard output.
    static ServerKind s3rver(const QString &dataDir, const QString &bucket);
    // The store front; its store, bucket and grant secret come as arguments.
    static ServerKind storefront();
};

// A QProcess that is killed with the test process, also when the test crashes.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

// One server process on free ports for a test or a benchmark; killed when it goes.
class ServerProcess
{
public:
    // Standard error goes to `logPath`; without one to $PELOMIR_SERVER_LOG when set (benchmarks set
    // it), else to the test's own standard error.
    explicit ServerProcess(ServerKind kind, QStringList args = {}, QString logPath = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    void setArgs(const QStringList &args) { args_ = args; }
    // Where the server's standard error goes from the next start on; empty forwards it to ours.
    void setLogPath(const QString &path) { logPath_ = path; }
    // Starts the program and reads its address lines (at most 2 min).
    bool start(QString *error = nullptr);
    // Asks the server to stop; its exit code, or -1 when it had to be killed or crashed.
    int terminate();
    void kill();
    bool running() const { return process.state() != QProcess::NotRunning; }

    // The port of the address on line `line`; "http://127.0.0.1:PORT" of it.
    int port(int line = 0) const { return ports_.value(line); }
    QString url(int line = 0) const { return QStringLiteral("http://127.0.0.1:%1").arg(port(line)); }

    ChildProcess process;

private:
    ServerKind kind_;
    QStringList args_;
    QString logPath_;
    QVector<int> ports_;
};

} // namespace testsupport
