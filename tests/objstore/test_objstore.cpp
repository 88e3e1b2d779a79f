// Over 600 lines on purpose: one test program per subsystem, and its cases share the servers and
// helpers set up here.
#include "objstore/checkpoint.h"
#include "objstore/client.h"
#include "objstore/signer.h"
#include "objstore/storeanswer.h"
#include "tests/support/s3rverprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <future>
#include <mutex>

using namespace objstore;

namespace {

struct Report
{
    uint32_t increment;
    int64_t transferred;
    int64_t total;
};

// Collects progress reports from the uploading thread.
struct Recorder
{
    std::mutex lock;
    QVector<Report> reports;
    ProgressHandler handler()
    {
        return [this](uint32_t increment, int64_t transferred, int64_t total, void *) {
            std::lock_guard<std::mutex> guard(lock);
            reports.append({increment, transferred, total});
        };
    }
};

QByteArray randomBytes(qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    auto *words = reinterpret_cast<quint32 *>(data.data());
    QRandomGenerator generator{quint32(size)};
    generator.fillRange(words, size_t(size / 4));
    return data;
}

UploadRequest uploadOf(const std::string &bucket, const std::string &key, const QString &path,
                       const QString &checkpointDir = {})
{
    UploadRequest request;
    request.bucket = bucket;
    request.key = key;
    request.filePath = path.toStdString();
    request.checkpointDir = checkpointDir.toStdString();
    return request;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return {};
    return path;
}

// A stand-in store that answers each request with the next status of its script, and 200 with the
// body's MD5 as ETag once the script is used up. Counts the requests it got, and refuses part numbers
// past 10,000 as stores do.
class ScriptedStore : public QObject
{
public:
    explicit ScriptedStore(QList<int> script) : m_script(std::move(script))
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString endpoint() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    int requests = 0;
    QByteArray body; // sent with every 200
    int highestPart = 0;
    qint64 partBytes = 0;
    int corruptPart = 0; // stored with another digest than its content's
    int completions = 0;

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        int length = 0;
        for (const QByteArray &line : buffer.left(end).split('\n'))
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toInt();
        if (buffer.size() < end + 4 + length)
            return;
        const QByteArray body = buffer.mid(end + 4, length);
        const QString requestLine = QString::fromLatin1(buffer.left(buffer.indexOf('\n')));
        buffer.remove(0, end + 4 + length);
        ++requests;
        static const QRegularExpression partNumber(QStringLiteral("[?&]partNumber=(\\d+)"));
        const QRegularExpressionMatch part = partNumber.match(requestLine);
        int status = m_script.isEmpty() ? 200 : m_script.takeFirst();
        if (part.hasMatch()) {
            const int number = part.captured(1).toInt();
            highestPart = std::max(highestPart, number);
            partBytes += body.size();
            if (number > 10000)
                status = 400;
        }
        const QByteArray content = status == 200 ? this->body : QByteArray();
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) +
                            " X\r\nContent-Length: " + QByteArray::number(content.size()) + "\r\n";
        if (requestLine.startsWith(QLatin1String("POST")) && requestLine.contains(QLatin1String("uploadId=")))
            ++completions;
        const QByteArray stored =
            part.hasMatch() && part.captured(1).toInt() == corruptPart ? body + '!' : body;
        if (status == 200)
            answer +=
                "ETag: \"" + QCryptographicHash::hash(stored, QCryptographicHash::Md5).toHex() + "\"\r\n";
        socket->write(answer + "\r\n" + content);
    }

    QTcpServer m_server;
    QList<int> m_script;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

} // namespace

class TestObjstore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void initTestCase();
    void signature();
    void checkpointFile();
    void putAndReadBack();
    void refusedCredentials();
    void multipartProgress();
    void resume_data();
    void resume();
    void retries();
    void storeAnswers();
    void partCountLimit();
    void resumeAfterKill();

private:
    // A client of the front with a grant over "t", signing as the global data row says.
    Client client(ClientConfiguration configuration = {}, const char *secret = nullptr) const;
    QByteArray fetch(const QString &key);
    template <class F> Outcome runAside(F &&upload);

    S3rverProcess m_store;
    storegrant::Grant m_grant = S3rverProcess::grant("t");
    QTemporaryDir m_dir;
    QNetworkAccessManager m_network;
};

// Every test runs with each kind of signature.
void TestObjstore::initTestCase_data()
{
    QTest::addColumn<QString>("signature");
    QTest::newRow("v2") << QStringLiteral("v2");
    QTest::newRow("v4") << QStringLiteral("v4");
}

void TestObjstore::initTestCase()
{
    QVERIFY2(m_store.start(), qPrintable(m_store.error()));
    QVERIFY(m_dir.isValid());
}

Client TestObjstore::client(ClientConfiguration configuration, const char *secret) const
{
    QFETCH_GLOBAL(QString, signature);
    configuration.retryDelayMs = 10;
    configuration.signature = signature == "v4" ? SignatureVersion::V4 : SignatureVersion::V2;
    return Client(m_store.endpoint().toStdString(),
                  {m_grant.keyId, secret ? secret : m_grant.secret, m_grant.token}, configuration);
}

// Reads an object back through the front with an address signed by the test's grant.
QByteArray TestObjstore::fetch(const QString &key)
{
    const std::string url = client().presignedGetUrl(m_store.bucket().toStdString(), key.toStdString(), 60);
    QNetworkReply *reply = m_network.get(QNetworkRequest(QUrl::fromEncoded(QByteArray::fromStdString(url))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(30000);
    reply->deleteLater();
    return reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray("<missing>");
}

// Runs a blocking upload on its own thread while this thread serves the event loop, for as long as the
// upload takes: a scripted store answers on this thread, so a wait that gave up would stall the upload
// (the suite's time-out catches a hang). The loop looks at the upload every millisecond rather than
// sleeping between looks, which would add the sleep to every request.
template <class F> Outcome TestObjstore::runAside(F &&upload)
{
    std::future<Outcome> result = std::async(std::launch::async, std::forward<F>(upload));
    QEventLoop loop;
    QTimer look;
    connect(&look, &QTimer::timeout, &loop, [&] {
        if (result.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            loop.quit();
    });
    look.start(1);
    QTimer slow;
    connect(&slow, &QTimer::timeout, [] { qWarning("upload still running after another two minutes"); });
    slow.start(120000);
    loop.exec();
    return result.get();
}

void TestObjstore::signature()
{
    // The HMAC-SHA1 test vector of RFC 2202, in base64.
    QCOMPARE(QString::fromStdString(hmacSha1Base64("Jefe", "what do ya want for nothing?")),
             QStringLiteral("7/zfauXrL6LSdBbV8YTfnCWafHk="));

    SignedRequest request;
    request.method = "PUT";
    request.contentMd5 = "md5==";
    request.contentType = "text/plain";
    request.headers = {{"x-amz-security-token", "tok"}, {"x-amz-date", "D"}, {"Content-Length", "5"}};
    request.resource = "/b/" + encodeKey("dir/a b+ü.txt") + "?partNumber=2&uploadId=u";
    // Empty Date line; x-amz- headers sorted, others left out; the key's folders stay.
    QCOMPARE(QString::fromStdString(stringToSign(request)),
             QStringLiteral("PUT\nmd5==\ntext/plain\n\nx-amz-date:D\nx-amz-security-token:tok\n"
                            "/b/dir/a%20b%2B%C3%BC.txt?partNumber=2&uploadId=u"));
    QCOMPARE(QString::fromStdString(httpDate(0)), QStringLiteral("Thu, 01 Jan 1970 00:00:00 GMT"));
}

void TestObjstore::checkpointFile()
{
    Checkpoint cp;
    cp.bucket = "b";
    cp.key = "k/x.apk";
    cp.filePath = "/tmp/x y.apk";
    cp.fileSize = 25;
    cp.fileMtimeNs = 1234567890123;
    cp.partSize = 10;
    cp.uploadId = "up1";
    cp.parts = {{1, QByteArray(32, 'a').toStdString()}, {3, QByteArray(32, 'b').toStdString()}};
    QCOMPARE(cp.doneBytes(), int64_t(15)); // a full part and the 5-byte last one

    QTemporaryDir dir;
    const std::string path = checkpointPath(dir.path().toStdString(), cp.bucket, cp.key, cp.filePath);
    QVERIFY(saveCheckpoint(path, cp));
    Checkpoint read;
    QVERIFY(loadCheckpoint(path, &read));
    QCOMPARE(read.uploadId, cp.uploadId);
    QCOMPARE(read.fileMtimeNs, cp.fileMtimeNs);
    QVERIFY(read.parts == cp.parts);

    // Any change to the content, including a cut, makes it unreadable rather than wrong.
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::ReadWrite));
    const QByteArray content = file.readAll();
    for (const QByteArray &damaged :
         {QByteArray(content).replace("part 3", "part 2"), content.left(content.size() / 2), QByteArray()}) {
        QVERIFY(file.resize(0));
        file.write(damaged);
        file.flush();
        QVERIFY(!loadCheckpoint(path, &read));
    }
    QVERIFY(!loadCheckpoint(path + ".none", &read));
    // A correctly summed checkpoint naming a part past the end of the file, or part 0, is refused;
    // the last part is not.
    for (const int part : {0, 3, 4}) {
        Checkpoint odd = cp;
        odd.parts = {{part, QByteArray(32, 'c').toStdString()}};
        QVERIFY(saveCheckpoint(path, odd));
        QCOMPARE(loadCheckpoint(path, &read), part == 3);
    }
    // Texts with line breaks cannot be written one per line.
    cp.key = "a\nb";
    QVERIFY(!saveCheckpoint(path, cp));
}

void TestObjstore::putAndReadBack()
{
    for (qint64 size : {qint64(0), qint64(1), qint64(300 * 1024)}) {
        const QByteArray data = randomBytes(size);
        const QString path = writeFile(m_dir, QStringLiteral("put%1.bin").arg(size), data);
        Recorder recorder;
        UploadRequest request = uploadOf(m_store.bucket().toStdString(),
                                         "t/put/" + std::to_string(size) + ".bin", path, m_dir.path());
        request.progress = recorder.handler();
        const Client store = client();
        const Outcome outcome = runAside([&] { return store.resumableUpload(request); });
        QVERIFY2(outcome.success, outcome.message.c_str());
        QCOMPARE(fetch(QStringLiteral("t/put/%1.bin").arg(size)), data);
        QVERIFY(!recorder.reports.isEmpty());
        const Report last = recorder.reports.last();
        QCOMPARE(last.increment, 0u);
        QCOMPARE(last.transferred, size);
        QCOMPARE(last.total, size);
    }
    const Outcome missing =
        client().putObject(uploadOf(m_store.bucket().toStdString(), "t/x", m_dir.filePath("none")));
    QCOMPARE(QString::fromStdString(missing.code), QStringLiteral("FileError"));
}

void TestObjstore::refusedCredentials()
{
    const QString path = writeFile(m_dir, QStringLiteral("small.txt"), "hello");
    const UploadRequest request = uploadOf(m_store.bucket().toStdString(), "t/refused.txt", path);
    const Client wrongSecret = client({}, "wrong");
    Outcome outcome = runAside([&] { return wrongSecret.putObject(request); });
    QVERIFY(!outcome.success);
    QCOMPARE(QString::fromStdString(outcome.code), QStringLiteral("SignatureDoesNotMatch"));
    QCOMPARE(outcome.httpStatus, 403);
    QVERIFY(!outcome.message.empty());

    // The token names its own key; another key with the grant's secret is refused.
    const Client wrongKey(m_store.endpoint().toStdString(), {"OTHER", m_grant.secret, m_grant.token});
    outcome = runAside([&] { return wrongKey.putObject(request); });
    QCOMPARE(QString::fromStdString(outcome.code), QStringLiteral("InvalidToken"));
    QCOMPARE(fetch(QStringLiteral("t/refused.txt")), QByteArray("<missing>"));
}

void TestObjstore::multipartProgress()
{
    const QByteArray data = randomBytes(5 * 64 * 1024 + 123);
    const QString path = writeFile(m_dir, QStringLiteral("multi.bin"), data);
    ClientConfiguration configuration;
    configuration.partSize = 64 * 1024;
    Recorder recorder;
    const int before = m_store.logCount(QStringLiteral("Stored part"));
    UploadRequest request =
        uploadOf(m_store.bucket().toStdString(), "t/multi/file name.bin", path, m_dir.path());
    request.progress = recorder.handler();
    const Client store = client(configuration);
    const Outcome outcome = runAside([&] { return store.resumableUpload(request); });
    QVERIFY2(outcome.success, outcome.message.c_str());
    QCOMPARE(fetch(QStringLiteral("t/multi/file name.bin")), data);
    QTRY_COMPARE(m_store.logCount(QStringLiteral("Stored part")) - before, 6);

    int64_t sum = 0, previous = 0;
    for (const Report &report : recorder.reports) {
        sum += report.increment;
        QCOMPARE(report.transferred, sum);
        QVERIFY(report.transferred >= previous);
        QCOMPARE(report.total, int64_t(data.size()));
        previous = report.transferred;
    }
    QCOMPARE(sum, int64_t(data.size()));
    QCOMPARE(recorder.reports.last().increment, 0u);
    // A finished upload leaves no checkpoint behind.
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("*.checkpoint")}).size(), 0);
}

void TestObjstore::resume_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("partsOnResume");
    QTest::newRow("unchanged") << QString() << 6;
    QTest::newRow("file touched") << QStringLiteral("touch") << 8;
    QTest::newRow("checkpoint damaged") << QStringLiteral("damage") << 8;
    QTest::newRow("part size changed") << QStringLiteral("partsize") << 4;
}

// Interrupted after two of eight parts, a second run sends only the rest, unless the file, the
// checkpoint or the part size changed since.
void TestObjstore::resume()
{
    QFETCH(QString, change);
    QFETCH(int, partsOnResume);
    const QByteArray data = randomBytes(8 * 64 * 1024);
    QFETCH_GLOBAL(QString, signature);
    const QString name =
        QStringLiteral("resume-%1-%2.bin").arg(signature, QTest::currentDataTag()).replace(' ', '-');
    const QString path = writeFile(m_dir, name, data);
    QTemporaryDir checkpoints;
    ClientConfiguration configuration;
    configuration.partSize = 64 * 1024;
    // One part at a time, so that the cut falls exactly after the second part.
    configuration.parallelParts = 1;
    std::atomic<bool> cancel{false};
    UploadRequest request =
        uploadOf(m_store.bucket().toStdString(), "t/resume/" + name.toStdString(), path, checkpoints.path());
    request.progress = [&cancel](uint32_t, int64_t transferred, int64_t, void *) {
        if (transferred >= 2 * 64 * 1024)
            cancel = true;
    };
    request.cancel = &cancel;
    const Client store = client(configuration);
    const int start = m_store.logCount(QStringLiteral("Stored part"));
    Outcome outcome = runAside([&] { return store.resumableUpload(request); });
    QCOMPARE(QString::fromStdString(outcome.code), QStringLiteral("Cancelled"));
    const QStringList saved = QDir(checkpoints.path()).entryList({QStringLiteral("*.checkpoint")});
    QCOMPARE(saved.size(), 1);
    QTRY_COMPARE(m_store.logCount(QStringLiteral("Stored part")) - start, 2);

    if (change == QLatin1String("touch")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    } else if (change == QLatin1String("damage")) {
        QFile file(checkpoints.filePath(saved.first()));
        QVERIFY(file.open(QIODevice::Append));
        file.write("part 9 0123\n");
    } else if (change == QLatin1String("partsize")) {
        configuration.partSize = 128 * 1024;
    }
    cancel = false;
    request.progress = {};
    const int before = m_store.logCount(QStringLiteral("Stored part"));
    const Client again = client(configuration);
    outcome = runAside([&] { return again.resumableUpload(request); });
    QVERIFY2(outcome.success, outcome.message.c_str());
    QTRY_COMPARE(m_store.logCount(QStringLiteral("Stored part")) - before, partsOnResume);
    QCOMPARE(fetch("t/resume/" + name), data);
}

void TestObjstore::retries()
{
    const QString path = writeFile(m_dir, QStringLiteral("retry.txt"), "retry me");
    const UploadRequest request = uploadOf("b", "retry.txt", path);
    ClientConfiguration configuration;
    configuration.maxAttempts = 3;
    configuration.retryDelayMs = 1;

    // Two 5xx answers are retried, a third attempt succeeds.
    ScriptedStore flaky({503, 500});
    Client store(flaky.endpoint().toStdString(), {"k", "s", ""}, configuration);
    Outcome outcome = runAside([&] { return store.putObject(request); });
    QVERIFY2(outcome.success, outcome.message.c_str());
    QCOMPARE(flaky.requests, 3);

    // The attempts are bounded.
    ScriptedStore down({503, 503, 503, 503});
    store = Client(down.endpoint().toStdString(), {"k", "s", ""}, configuration);
    outcome = runAside([&] { return store.putObject(request); });
    QCOMPARE(outcome.httpStatus, 503);
    QCOMPARE(down.requests, 3);

    // A client error is final at once.
    ScriptedStore forbidden({403});
    store = Client(forbidden.endpoint().toStdString(), {"k", "s", ""}, configuration);
    outcome = runAside([&] { return store.putObject(request); });
    QCOMPARE(outcome.httpStatus, 403);
    QCOMPARE(forbidden.requests, 1);

    // No one listening: a network error once the attempts are spent.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        closedPort = probe.serverPort();
    }
    store = Client("http://127.0.0.1:" + std::to_string(closedPort), {"k", "s", ""}, configuration);
    outcome = runAside([&] { return store.putObject(request); });
    QCOMPARE(QString::fromStdString(outcome.code), QStringLiteral("NetworkError"));
}

// What a store answers is read as untrusted text: error documents with entities, errors behind a
// 200, and upload ids that would change the address of every part they are echoed in.
void TestObjstore::storeAnswers()
{
    Outcome outcome = answerOutcome(
        200, "<Error><Code>InternalError</Code><Message>a &lt;b&gt; &amp;&quot;c&apos; &amp;lt;</Message>"
             "<RequestId>R1</RequestId></Error>");
    QVERIFY(!outcome.success);
    QCOMPARE(outcome.code, std::string("InternalError"));
    QCOMPARE(outcome.message, std::string("a <b> &\"c' &lt;"));
    QCOMPARE(outcome.requestId, std::string("R1"));
    outcome = answerOutcome(503, "<Code>Slow");
    QCOMPARE(outcome.code, std::string("HttpError"));
    QCOMPARE(outcome.message, std::string("HTTP status 503"));
    QVERIFY(answerOutcome(204, "").success);
    QCOMPARE(xmlValue("<UploadId></UploadId><UploadId>x</UploadId>", "UploadId"), std::string());

    QVERIFY(usableUploadId("2~Ab-c_d.e") && usableUploadId(std::string(1024, 'a')));
    for (const std::string &id : {std::string(), std::string(1025, 'a'), std::string("a&partNumber=9"),
                                  std::string("a b"), std::string("a\r\nHost: x"), std::string("a/../b")})
        QVERIFY2(!usableUploadId(id), id.c_str());

    // A multipart start whose id is not usable ends the upload before any part is sent.
    const QString path = writeFile(m_dir, QStringLiteral("hostile.bin"), randomBytes(3 * 1024 * 1024));
    ClientConfiguration configuration;
    configuration.partSize = 1024 * 1024;
    ScriptedStore hostile({});
    hostile.body = "<InitiateMultipartUploadResult><UploadId>x&amp;partNumber=1</UploadId>"
                   "</InitiateMultipartUploadResult>";
    QTemporaryDir checkpoints;
    Client store(hostile.endpoint().toStdString(), {"k", "s", ""}, configuration);
    outcome = runAside(
        [&] { return store.resumableUpload(uploadOf("b", "hostile.bin", path, checkpoints.path())); });
    QCOMPARE(outcome.code, std::string("InvalidResponse"));
    QCOMPARE(hostile.requests, 1);

    // A part the store holds with another digest than the one sent fails the upload, which is
    // never completed, and the part is not recorded as stored.
    ScriptedStore corrupting({});
    corrupting.body =
        "<InitiateMultipartUploadResult><UploadId>u1</UploadId></InitiateMultipartUploadResult>";
    corrupting.corruptPart = 2;
    configuration.parallelParts = 1;
    store = Client(corrupting.endpoint().toStdString(), {"k", "s", ""}, configuration);
    const UploadRequest corrupted = uploadOf("b", "corrupted.bin", path, checkpoints.path());
    outcome = runAside([&] { return store.resumableUpload(corrupted); });
    QCOMPARE(outcome.code, std::string("BadDigest"));
    QCOMPARE(corrupting.completions, 0);
    Checkpoint cp;
    QVERIFY(loadCheckpoint(
        checkpointPath(checkpoints.path().toStdString(), "b", "corrupted.bin", path.toStdString()), &cp));
    QCOMPARE(int(cp.parts.size()), 1);
    QVERIFY(cp.parts.count(1));
}

// Parts grow for a file of more parts than a store allows at the configured size: one byte past
// 10,000 parts of one byte, the parts are two bytes, and no part number passes 10,000.
void TestObjstore::partCountLimit()
{
    ClientConfiguration configuration;
    configuration.partSize = 1;
    configuration.retryDelayMs = 1;
    // No checkpoint is kept (its folder is missing): rewritten after each of 5,001 parts it would
    // make this the suite's slowest case, and resuming has cases of its own.
    QTemporaryDir checkpoints;
    const QString nowhere = checkpoints.filePath(QStringLiteral("missing"));
    const QString path = writeFile(m_dir, QStringLiteral("parts.bin"), QByteArray(10001, 'p'));
    ScriptedStore store({});
    store.body = "<InitiateMultipartUploadResult><UploadId>many</UploadId></InitiateMultipartUploadResult>";
    Client client(store.endpoint().toStdString(), {"k", "s", ""}, configuration);
    const Outcome outcome =
        runAside([&] { return client.resumableUpload(uploadOf("b", "parts.bin", path, nowhere)); });
    QVERIFY2(outcome.success, outcome.message.c_str());
    QCOMPARE(store.highestPart, 5001);
    QCOMPARE(store.partBytes, qint64(10001));
    QCOMPARE(store.requests, store.highestPart + 2); // the start, each part once, the completion
}

// An uploading process killed with SIGKILL partway: the next run sends only the parts its checkpoint
// does not hold, and the stored object is the file.
void TestObjstore::resumeAfterKill()
{
    constexpr int partBytes = 1024 * 1024;
    constexpr int parts = 24;
    const QByteArray data = randomBytes(qint64(parts) * partBytes - 1000);
    const QString path = writeFile(m_dir, QStringLiteral("killed.bin"), data);
    QTemporaryDir checkpoints;
    QFETCH_GLOBAL(QString, signature);
    const QString key = "t/killed/" + signature + ".bin";
    const QStringList args{m_store.endpoint(),
                           m_store.bucket(),
                           key,
                           path,
                           checkpoints.path(),
                           QString::number(partBytes),
                           QString::fromStdString(m_grant.keyId),
                           QString::fromStdString(m_grant.secret),
                           QString::fromStdString(m_grant.token),
                           signature};
    const QString program = qEnvironmentVariable("PELOMIR_BIN_DIR") + QStringLiteral("/objstore-put");

    const int start = m_store.logCount(QStringLiteral("Stored part"));
    QProcess first;
    first.start(program, args);
    QVERIFY(first.waitForStarted());
    QByteArray out;
    // Killed once a third of the file is up, without any chance to clean up.
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += first.readAllStandardOutput();
            const QList<QByteArray> lines = out.split('\n');
            for (const QByteArray &line : lines)
                if (line.startsWith("progress ") && line.split(' ').value(1).toLongLong() >= data.size() / 3)
                    return true;
            return first.state() == QProcess::NotRunning;
        },
        60000));
    first.kill();
    QVERIFY(first.waitForFinished());
    QVERIFY(!out.contains("done"));

    const QStringList saved = QDir(checkpoints.path()).entryList({QStringLiteral("*.checkpoint")});
    QCOMPARE(saved.size(), 1);
    Checkpoint cp;
    QVERIFY(loadCheckpoint(checkpoints.filePath(saved.first()).toStdString(), &cp));
    const int recorded = int(cp.parts.size());
    // Two parts travel at once, so up to two may still have been on the wire.
    QVERIFY2(recorded >= parts / 3 - 2 && recorded < parts, qPrintable(QString::number(recorded)));

    QProcess second;
    second.start(program, args);
    QVERIFY(second.waitForFinished(120000));
    QVERIFY2(second.readAllStandardOutput().endsWith("done\n"), "second run failed");
    // Both runs together stored each part once, plus at most the two the killed run had on the wire
    // but not yet recorded. Had the second run started over, it would be `recorded` parts more.
    QTRY_VERIFY(m_store.logCount(QStringLiteral("Stored part")) - start >= parts);
    const int stored = m_store.logCount(QStringLiteral("Stored part")) - start;
    QVERIFY2(stored <= parts + 2,
             qPrintable(QStringLiteral("%1 parts stored for %2").arg(stored).arg(parts)));
    QCOMPARE(QCryptographicHash::hash(fetch(key), QCryptographicHash::Md5),
             QCryptographicHash::hash(data, QCryptographicHash::Md5));
    QVERIFY(QDir(checkpoints.path()).entryList({QStringLiteral("*.checkpoint")}).isEmpty());
}

QTEST_MAIN(TestObjstore)
#include "test_objstore.moc"
