// Uploads of large files to a private s3rver behind its store front, against the tools a user would
// reach for, all in the same run:
//   MD5 pass      objstore::fileMd5Hex against md5sum of the same file        (target ratio >= 0.9)
//   front         our resumable upload through the front, each kind of signature, against s3cmd
//                 (8 MiB parts) and rclone (8 MiB parts, 2 in flight) through the same front, with
//                 grants of their own                                          (target ratio >= 1.1)
//   overhead      our upload straight to s3rver with its own key against the same through the front;
//                 one curl PUT straight to s3rver as the limit
//   memory        peak resident growth during our upload                       (limit 64 MB)
// at each size given in MB, so that growth with the file's size would show. Uploads run in --rounds
// rounds (default 2), each contender once per round in turn, and each keeps its best time, so that a
// change of the machine's load falls on all of them alike.
#include "objstore/client.h"
#include "tests/support/s3rverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
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
double timed(const QString &program, const QStringList &args, QByteArray *out = nullptr,
             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     process.readAllStandardError().constData());
        return -1;
    }
    if (out)
        *out = process.readAllStandardOutput();
    return clock.nsecsElapsed() / 1e9;
}

double rate(int mb, double seconds)
{
    return seconds > 0 ? mb / seconds : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QList<int> sizes;
    int rounds = 2;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--rounds" && i + 1 < argc)
            rounds = std::max(1, QByteArray(argv[++i]).toInt());
        else
            sizes.append(QByteArray(argv[i]).toInt());
    }
    if (sizes.isEmpty())
        sizes = {128, 512};

    S3rverProcess store(QStringLiteral("bench"));
    if (!store.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(store.error()));
        return 1;
    }
    QTemporaryDir dir;
    const storegrant::Grant grant = S3rverProcess::grant("bench", "rw", 4 * 3600);
    objstore::ClientConfiguration v4;
    v4.signature = objstore::SignatureVersion::V4;
    const objstore::Client direct(store.storeEndpoint().toStdString(), {"S3RVER", "S3RVER", ""});
    const objstore::Client frontV2(store.endpoint().toStdString(), {grant.keyId, grant.secret, grant.token});
    const objstore::Client frontV4(store.endpoint().toStdString(), {grant.keyId, grant.secret, grant.token},
                                   v4);

    // The peers get grants of their own, as a user of the service would.
    const storegrant::Grant s3cmdGrant = S3rverProcess::grant("bench", "rw", 4 * 3600);
    const QString s3cmdConfig = dir.filePath(QStringLiteral("s3cfg"));
    {
        QFile config(s3cmdConfig);
        const QString host = QStringLiteral("127.0.0.1:%1").arg(store.port());
        if (!config.open(QIODevice::WriteOnly))
            return 1;
        config.write(QStringLiteral(
                         "[default]\naccess_key = %1\nsecret_key = %2\naccess_token = %3\n"
                         "host_base = %4\nhost_bucket = %4\nuse_https = False\nsignature_v2 = False\n"
                         "bucket_location = us-east-1\nmultipart_chunk_size_mb = 8\nprogress_meter = False\n")
                         .arg(QString::fromStdString(s3cmdGrant.keyId),
                              QString::fromStdString(s3cmdGrant.secret),
                              QString::fromStdString(s3cmdGrant.token), host)
                         .toUtf8());
    }
    const storegrant::Grant rcloneGrant = S3rverProcess::grant("bench", "rw", 4 * 3600);
    QProcessEnvironment rcloneEnvironment = QProcessEnvironment::systemEnvironment();
    rcloneEnvironment.remove(QStringLiteral("AWS_CA_BUNDLE")); // Debian's rclone fails to load it
    for (const auto &[name, value] : std::initializer_list<std::pair<const char *, QString>>{
             {"TYPE", "s3"},
             {"PROVIDER", "Other"},
             {"ACCESS_KEY_ID", QString::fromStdString(rcloneGrant.keyId)},
             {"SECRET_ACCESS_KEY", QString::fromStdString(rcloneGrant.secret)},
             {"SESSION_TOKEN", QString::fromStdString(rcloneGrant.token)},
             {"ENDPOINT", store.endpoint()},
             {"REGION", "us-east-1"},
             {"FORCE_PATH_STYLE", "true"}})
        rcloneEnvironment.insert(QStringLiteral("RCLONE_CONFIG_FRONT_") + name, value);

    std::printf("%7s | %6s %6s %5s | %6s %6s %6s %6s %6s | %6s %6s %5s | %6s | %8s | %s\n", "size MB", "md5",
                "md5sum", "ratio", "v2", "v4", "s3cmd", "rclone", "ratio", "direct", "curl", "front", "ratio",
                "peak +MB", "stored");
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

        QStringList keys;
        const auto key = [&](const char *who) {
            const QString k = QStringLiteral("bench/%1-%2.bin").arg(QLatin1String(who)).arg(mb);
            if (!keys.contains(k))
                keys.append(k);
            return k;
        };
        const auto upload = [&](const objstore::Client &client, const char *who, long *peak) {
            objstore::UploadRequest request;
            request.bucket = "bench";
            request.key = key(who).toStdString();
            request.filePath = path.toStdString();
            request.checkpointDir = dir.path().toStdString();
            const long before = statusKb("VmRSS:");
            if (peak)
                resetPeak();
            QElapsedTimer watch;
            watch.start();
            const objstore::Outcome outcome = client.resumableUpload(request);
            const double seconds = watch.nsecsElapsed() / 1e9;
            if (peak)
                *peak = std::max(*peak, statusKb("VmHWM:") - before);
            if (!outcome.success)
                std::fprintf(stderr, "%s upload failed: %s %s\n", who, outcome.code.c_str(),
                             outcome.message.c_str());
            return outcome.success ? seconds : -1;
        };
        long peak = 0;
        enum
        {
            Curl,
            Direct,
            V2,
            V4,
            S3cmd,
            Rclone,
            Contenders
        };
        double best[Contenders];
        bool failed[Contenders] = {};
        std::fill(std::begin(best), std::end(best), -1.0);
        for (int round = 0; round < rounds; ++round) {
            const double seconds[Contenders] = {
                timed(QStringLiteral("curl"),
                      {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-T"), path,
                       store.storeEndpoint() + "/bench/" + key("curl")}),
                upload(direct, "direct", nullptr),
                upload(frontV2, "v2", &peak),
                upload(frontV4, "v4", nullptr),
                timed(QStringLiteral("s3cmd"), {QStringLiteral("-c"), s3cmdConfig, QStringLiteral("--quiet"),
                                                QStringLiteral("put"), path, "s3://bench/" + key("s3cmd")}),
                timed(QStringLiteral("rclone"),
                      {QStringLiteral("--config"), QStringLiteral("/dev/null"), QStringLiteral("copyto"),
                       path, "front:bench/" + key("rclone"), QStringLiteral("--s3-chunk-size"),
                       QStringLiteral("8M"), QStringLiteral("--s3-upload-concurrency"), QStringLiteral("2"),
                       QStringLiteral("--s3-upload-cutoff"), QStringLiteral("8M"),
                       QStringLiteral("--s3-no-check-bucket"), QStringLiteral("--s3-no-head"),
                       QStringLiteral("--ignore-times")},
                      nullptr, rcloneEnvironment)};
            for (int c = 0; c < Contenders; ++c) {
                failed[c] = failed[c] || seconds[c] < 0;
                if (best[c] < 0 || seconds[c] < best[c])
                    best[c] = seconds[c];
            }
        }
        for (int c = 0; c < Contenders; ++c)
            if (failed[c])
                best[c] = -1;
        const double curlSeconds = best[Curl], directSeconds = best[Direct], v2Seconds = best[V2],
                     v4Seconds = best[V4], s3cmdSeconds = best[S3cmd], rcloneSeconds = best[Rclone];

        // Every copy is read back from the store itself and compared with the file.
        bool stored = sameDigest;
        for (const QString &k : keys) {
            QByteArray storedSum;
            timed(QStringLiteral("sh"),
                  {QStringLiteral("-c"),
                   QStringLiteral("curl -s %1/bench/%2 | md5sum").arg(store.storeEndpoint(), k)},
                  &storedSum);
            if (!storedSum.startsWith(QByteArray::fromStdString(ours))) {
                std::fprintf(stderr, "%s differs from the file\n", qPrintable(k));
                stored = false;
            }
        }
        const double bestPeer = std::max(rate(mb, s3cmdSeconds), rate(mb, rcloneSeconds));
        const double ratio = bestPeer > 0 ? std::min(rate(mb, v2Seconds), rate(mb, v4Seconds)) / bestPeer : 0;
        allOk = allOk && stored && curlSeconds > 0 && directSeconds > 0 && v2Seconds > 0 && v4Seconds > 0 &&
                s3cmdSeconds > 0 && rcloneSeconds > 0;
        std::printf("%7d | %6.0f %6.0f %5.2f | %6.0f %6.0f %6.0f %6.0f %6.2f | %6.0f %6.0f %5.2f | %6.2f | "
                    "%8.1f | %s\n",
                    mb, rate(mb, md5Seconds), rate(mb, md5sumSeconds), md5sumSeconds / md5Seconds,
                    rate(mb, v2Seconds), rate(mb, v4Seconds), rate(mb, s3cmdSeconds), rate(mb, rcloneSeconds),
                    ratio, rate(mb, directSeconds), rate(mb, curlSeconds),
                    v2Seconds > 0 ? directSeconds / v2Seconds : 0, curlSeconds / directSeconds, peak / 1024.0,
                    stored ? "all = file" : "DIFFERS");
        std::fflush(stdout);
        for (const QString &k : keys)
            QFile::remove(dir.filePath(k));
        QFile::remove(path);
    }
    std::printf(
        "MB/s; md5 ratio: ours/md5sum (>= 0.9); front ratio: the slower of our v2 and v4 over the best "
        "peer (>= 1.1);\nfront: direct upload's time over the v2 upload's through the front (1.00 = no "
        "overhead); ratio: curl PUT's time over our direct upload's; peak growth <= 64 MB\n");
    return allOk ? 0 : 1;
}
