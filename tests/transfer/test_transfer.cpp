// Billing icons: one download per plan, the built-in icon for missing ones, bounded retries.
#include "app/threadpool.h"
#include "transfer/billingdownload.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

QByteArray pngOf(QColor colour, QSize size = QSize(24, 24))
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A valid picture followed by padding up to `bytes`; decoders stop at the picture's end.
QByteArray paddedPng(qint64 bytes)
{
    QByteArray png = pngOf(Qt::yellow);
    png.append(QByteArray(int(bytes - png.size()), '\0'));
    return png;
}

// A small HTTP server: /red.png and /blue.png answer images, /missing.png 404, /broken.png a 200
// whose body breaks off, /text.png a 200 with text that is no image; /limit.png and /over.png are
// bodies of exactly the byte limit and one more, /side.png and /wide.png pictures as wide as the
// side limit and one pixel wider. Counts the requests per path.
class IconServer : public QTcpServer
{
public:
    QHash<QString, int> hits;

    IconServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

private:
    void answer(QTcpSocket *socket)
    {
        const QByteArray request = socket->readAll();
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        ++hits[path];
        QByteArray body;
        QByteArray status = "200 OK";
        int announced = -1;
        if (path == QLatin1String("/red.png"))
            body = pngOf(Qt::red);
        else if (path == QLatin1String("/blue.png"))
            body = pngOf(Qt::blue);
        else if (path == QLatin1String("/limit.png"))
            body = paddedPng(BillingDownload::maxIconBytes);
        else if (path == QLatin1String("/over.png"))
            body = paddedPng(BillingDownload::maxIconBytes + 1);
        else if (path == QLatin1String("/side.png"))
            body = pngOf(Qt::red, QSize(BillingDownload::maxIconSide, 2));
        else if (path == QLatin1String("/wide.png"))
            body = pngOf(Qt::red, QSize(2, BillingDownload::maxIconSide + 1));
        else if (path == QLatin1String("/text.png"))
            body = "this is not an image";
        else if (path == QLatin1String("/broken.png")) {
            body = pngOf(Qt::green).left(10);
            announced = 5000;
        } else {
            status = "404 Not Found";
            body = "no such icon";
        }
        socket->write("HTTP/1.1 " + status +
                      "\r\nContent-Type: image/png\r\nConnection: close\r\nContent-Length: " +
                      QByteArray::number(announced < 0 ? body.size() : announced) + "\r\n\r\n" + body);
        socket->flush();
        socket->disconnectFromHost();
    }
};

QRgb centre(const QPixmap &pixmap)
{
    const QImage image = pixmap.toImage();
    return image.pixel(image.width() / 2, image.height() / 2);
}

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(pelomir); }
    void onePerPlanAtIconSize();
    void missingAndBrokenIconsFallBack();
    void planChangesFollowTheLatestReload();
    void downloadEndsWithTheApplication();
    void oversizedIconsAreRefused();
};

void TestTransfer::onePerPlanAtIconSize()
{
    IconServer server;
    ThreadPool pool(2);
    BillingDownload billing(pool);
    for (int i = 0; i < 50; ++i) {
        const bool red = i % 2 == 0;
        billing.addBillingIcon(red ? 1 : 2, QStringLiteral("PM%1").arg(i),
                               server.url(red ? QStringLiteral("/red.png") : QStringLiteral("/blue.png")));
    }
    QTRY_VERIFY(billing.hasIcon(1) && billing.hasIcon(2));
    QCOMPARE(server.hits.value(QStringLiteral("/red.png")), 1);
    QCOMPARE(server.hits.value(QStringLiteral("/blue.png")), 1);
    QCOMPARE(billing.downloadsStarted(), 2);

    // No icon before the toolbar sets the size.
    QVERIFY(billing.billingIconFor(QStringLiteral("PM0")).isNull());
    billing.setIconSize(QSize(16, 16));
    const QPixmap icon = billing.billingIconFor(QStringLiteral("PM0"));
    QCOMPARE(icon.size(), QSize(16, 16));
    QCOMPARE(centre(icon), QColor(Qt::red).rgb());
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("PM1"))), QColor(Qt::blue).rgb());
    QVERIFY(billing.billingIconFor(QStringLiteral("unknown")).isNull());

    // The same plan with another address keeps the first icon and downloads nothing more.
    billing.addBillingIcon(1, QStringLiteral("PM99"), server.url(QStringLiteral("/blue.png")));
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("PM99"))), QColor(Qt::red).rgb());
    QCOMPARE(billing.downloadsStarted(), 2);
}

void TestTransfer::missingAndBrokenIconsFallBack()
{
    IconServer server;
    ThreadPool pool(2);
    BillingDownload billing(pool);
    billing.setIconSize(QSize(16, 16));
    billing.addBillingIcon(7, QStringLiteral("A"), server.url(QStringLiteral("/missing.png")));
    billing.addBillingIcon(8, QStringLiteral("B"), server.url(QStringLiteral("/broken.png")));
    billing.addBillingIcon(9, QStringLiteral("C"), server.url(QStringLiteral("/text.png")));
    billing.addBillingIcon(10, QStringLiteral("D"), QStringLiteral("http://127.0.0.1:1/refused.png"));
    QTRY_VERIFY_WITH_TIMEOUT(
        billing.hasIcon(7) && billing.hasIcon(8) && billing.hasIcon(9) && billing.hasIcon(10), 20000);

    const QImage builtin = QImage(QString::fromLatin1(BillingDownload::builtinIcon))
                               .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                               .convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!builtin.isNull());
    for (const char *device : {"A", "B", "C", "D"})
        QCOMPARE(billing.billingIconFor(QString::fromLatin1(device))
                     .toImage()
                     .convertToFormat(QImage::Format_ARGB32),
                 builtin);
    QCOMPARE(server.hits.value(QStringLiteral("/missing.png")), 1); // no further attempts after a 404
    QCOMPARE(server.hits.value(QStringLiteral("/text.png")), 1);
    // A transfer that keeps breaking off is retried a bounded number of times, then given up.
    QCOMPARE(server.hits.value(QStringLiteral("/broken.png")), BillingDownload::maxTransferAttempts);
    QTRY_COMPARE(pool.idleCount(), pool.workerCount());
}

void TestTransfer::planChangesFollowTheLatestReload()
{
    IconServer server;
    ThreadPool pool(1);
    BillingDownload billing(pool);
    billing.setIconSize(QSize(16, 16));
    billing.addBillingIcon(1, QStringLiteral("PM1"), server.url(QStringLiteral("/red.png")));
    QTRY_VERIFY(billing.hasIcon(1));
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("PM1"))), QColor(Qt::red).rgb());
    billing.addBillingIcon(2, QStringLiteral("PM1"), server.url(QStringLiteral("/blue.png")));
    QTRY_VERIFY(billing.hasIcon(2));
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("PM1"))), QColor(Qt::blue).rgb());
    // A display-mode change sets 16 x 16 again; the icons stay that size.
    billing.setIconSize(QSize(16, 16));
    QCOMPARE(billing.billingIconFor(QStringLiteral("PM1")).size(), QSize(16, 16));
}

void TestTransfer::oversizedIconsAreRefused()
{
    IconServer server;
    ThreadPool pool(2);
    BillingDownload billing(pool);
    billing.setIconSize(QSize(16, 16));
    const char *paths[] = {"/limit.png", "/over.png", "/side.png", "/wide.png"};
    for (int i = 0; i < 4; ++i)
        billing.addBillingIcon(20 + i, QString::number(i), server.url(QString::fromLatin1(paths[i])));
    QTRY_VERIFY_WITH_TIMEOUT(
        billing.hasIcon(20) && billing.hasIcon(21) && billing.hasIcon(22) && billing.hasIcon(23), 20000);
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("0"))), QColor(Qt::yellow).rgb());
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("2"))), QColor(Qt::red).rgb());
    const QRgb builtin =
        centre(QPixmap::fromImage(QImage(QString::fromLatin1(BillingDownload::builtinIcon))
                                      .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("1"))), builtin);
    QCOMPARE(centre(billing.billingIconFor(QStringLiteral("3"))), builtin);
    // Too large is final: no second attempt.
    QCOMPARE(server.hits.value(QStringLiteral("/over.png")), 1);
    QTRY_COMPARE(pool.idleCount(), pool.workerCount());
}

// The user quits while an icon server holds its answer: the download must end with the application, so
// that the pool can be joined, and leave nothing behind (the parent runs this under the leak checker).
int heldDownloadChild(int argc, char *argv[])
{
    ThreadPool pool(1);
    BillingDownload billing(pool);
    {
        QGuiApplication app(argc, argv);
        QTcpServer silent;
        silent.listen(QHostAddress::LocalHost, 0);
        billing.addBillingIcon(1, QStringLiteral("PM1"),
                               QStringLiteral("http://127.0.0.1:%1/held.png").arg(silent.serverPort()));
        if (!silent.waitForNewConnection(10000) || !silent.nextPendingConnection()->waitForReadyRead(10000))
            return 2;
    }
    return 0;
}

void TestTransfer::downloadEndsWithTheApplication()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PELOMIR_TRANSFER_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("PELOMIR_TRANSFER_CHILD"))
        return heldDownloadChild(argc, argv);
    QGuiApplication app(argc, argv);
    TestTransfer test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_transfer.moc"
