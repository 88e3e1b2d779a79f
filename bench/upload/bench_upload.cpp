// Uploads of large files to a private s3rver, against the tools a user would reach for:
//   MD5 pass      objstore::fileMd5Hex against md5sum of the same file      (target ratio >= 0.9)
//   upload        resumable upload against one curl PUT of the same file    (target ratio >= 0.9)
//   memory        peak resident growth during the upload                    (limit 64 MB)
// at each size given in MB, so that growth with the file's size would show.
#include "objstore/client.h"
#include "tests/support/s3rverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// A field of /proc/self/status in kB.
long statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    return -1;
}

bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

bool writeRandom(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 << 20, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (qint64 left = bytes; left > 0; left -= block.size()) {
        generator.fillRange(reinterpret_cast<quint32 *>(block.data()), size_t(block.size() / 4));
        if (file.write(block.constData(), qMin<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

// Seconds a command takes, or -1 when it fails; its standard output in `out`.
double timed(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    if (out)
        *out = process.readAllStandardOutput();
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.append(QByteArray(argv[i]).toInt());
    if (sizes.isEmpty())
        sizes = {128, 512};

    S3rverProcess store(QStringLiteral("bench"));
    if (!store.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(store.error()));
        return 1;
    }
    QTemporaryDir dir;
    const objstore::Client client(store.endpoint().toStdString(), {"S3RVER", "S3RVER", "bench-session"});
    std::printf("%8s | %9s %9s %6s | %10s %10s %6s | %9s | %s\n", "size MB", "md5 MB/s", "md5sum", "ratio",
                "upload MB/s", "curl PUT", "ratio", "peak +MB", "stored md5");
    bool allOk = true;
    for (int mb : sizes) {
        const QString path = dir.filePath(QStringLiteral("file%1.bin").arg(mb));
        const qint64 bytes = qint64(mb) << 20;
        if (!writeRandom(path, bytes))
            return 1;
        // Both digests read the file from the page cache; md5sum once first to warm it.
        QByteArray sumOut;
        timed(QStringLiteral("md5sum"), {path});
        const double md5sumSeconds = timed(QStringLiteral("md5sum"), {path}, &sumOut);
        QElapsedTimer clock;
        clock.start();
        const std::string ours = objstore::fileMd5Hex(path.toStdString());
        const double md5Seconds = clock.nsecsElapsed() / 1e9;
        const bool sameDigest = sumOut.startsWith(QByteArray::fromStdString(ours));

        const double curlSeconds = timed(
            QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-T"), path,
                                     store.endpoint() + QStringLiteral("/bench/curl%1.bin").arg(mb)});

        objstore::UploadRequest request;
        request.bucket = "bench";
        request.key = "objstore" + std::to_string(mb) + ".bin";
        request.filePath = path.toStdString();
        request.checkpointDir = dir.path().toStdString();
        const long before = statusKb("VmRSS:");
        resetPeak();
        clock.restart();
        const objstore::Outcome outcome = client.resumableUpload(request);
        const double uploadSeconds = clock.nsecsElapsed() / 1e9;
        const long peak = statusKb("VmHWM:");
        QByteArray storedSum;
        timed(QStringLiteral("sh"),
              {QStringLiteral("-c"), QStringLiteral("curl -s %1/bench/%2 | md5sum")
                                         .arg(store.endpoint(), QString::fromStdString(request.key))},
              &storedSum);
        const bool stored = outcome.success && storedSum.startsWith(QByteArray::fromStdString(ours));
        allOk = allOk && stored && sameDigest && curlSeconds > 0;

        std::printf("%8d | %9.0f %9.0f %6.2f | %10.0f %10.0f %6.2f | %9.1f | %s\n", mb, mb / md5Seconds,
                    mb / md5sumSeconds, md5sumSeconds / md5Seconds, mb / uploadSeconds, mb / curlSeconds,
                    curlSeconds / uploadSeconds, (peak - before) / 1024.0,
                    stored            ? "= file"
                    : outcome.success ? "DIFFERS"
                                      : outcome.message.c_str());
        QFile::remove(path);
    }
    std::printf("targets: md5 ratio >= 0.9, upload ratio >= 0.9, peak growth <= 64 MB\n");
    return allOk ? 0 : 1;
}
