// pelomir-phonefarm: the phone gateway with simulated phones, and its admin API.

#include "server/phonefarm/admin.h"
#include "server/phonefarm/gateway.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2];

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

bool parseAddress(const QString &text, QHostAddress *address, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int p = text.mid(colon + 1).toInt(&ok);
    if (colon <= 0 || !ok || p < 0 || p > 65535 || !address->setAddress(text.left(colon)))
        return false;
    *port = quint16(p);
    return true;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "pelomir-phonefarm: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    // Phones are drawn off screen; there is no display to talk to.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelomir-phonefarm"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Phone gateway with simulated Android phones. Prints \"gateway on HOST:PORT\" and "
                       "\"admin on http://HOST:PORT\" as its first two lines."));
    parser.addHelpOption();
    const farm::FarmOptions defaults;
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Gateway address (port 0: any free port)."),
                                    QStringLiteral("host:port"), QStringLiteral("127.0.0.1:18090"));
    const QCommandLineOption adminListen(QStringLiteral("admin-listen"), QStringLiteral("Admin API address."),
                                         QStringLiteral("host:port"), QStringLiteral("127.0.0.1:18091"));
    const QCommandLineOption secret(
        QStringLiteral("secret"),
        QStringLiteral("Secret shared with the provider (credentials, admin calls)."),
        QStringLiteral("secret"), QString::fromUtf8(defaults.secret));
    const QCommandLineOption restartMs(QStringLiteral("restart-ms"),
                                       QStringLiteral("How long a restart takes."), QStringLiteral("ms"),
                                       QString::number(defaults.restartMs));
    const QCommandLineOption resetMs(QStringLiteral("reset-ms"), QStringLiteral("How long a reset takes."),
                                     QStringLiteral("ms"), QString::number(defaults.resetMs));
    const QCommandLineOption maxFps(QStringLiteral("max-fps"),
                                    QStringLiteral("Display frame-rate cap, 1..60."), QStringLiteral("fps"),
                                    QString::number(defaults.maxFps));
    const QCommandLineOption maxPhones(QStringLiteral("max-phones"),
                                       QStringLiteral("Most phones the farm holds."), QStringLiteral("n"),
                                       QString::number(defaults.maxPhones));
    const QCommandLineOption idleMs(QStringLiteral("idle-ms"),
                                    QStringLiteral("Closes a gateway connection silent this long."),
                                    QStringLiteral("ms"), QString::number(defaults.idleMs));
    const QCommandLineOption mixedScreens(
        QStringLiteral("mixed-screens"),
        QStringLiteral("Phones of 540x960, 720x1280 and 1080x1920, picked by the device id's last "
                       "character (its code modulo 3: 720x1280, 540x960, 1080x1920); else all 720x1280."));
    const QCommandLineOption store(
        QStringLiteral("store"),
        QStringLiteral("The object store's address, the only one phones fetch from."), QStringLiteral("url"),
        defaults.storeUrl.toString());
    const QCommandLineOption displayCodec(
        QStringLiteral("display-codec"),
        QStringLiteral("Display stream codec for clients that take either: h264 or jpeg."),
        QStringLiteral("codec"), defaults.h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
    const QCommandLineOption videoKbps(QStringLiteral("video-kbps"),
                                       QStringLiteral("H.264 bitrate cap per display, 100..50000."),
                                       QStringLiteral("kbit/s"), QString::number(defaults.videoKbps));
    const QCommandLineOption keepSourceFrames(
        QStringLiteral("keep-source-frames"),
        QStringLiteral("Test mode: keeps the last N pictures drawn for each phone's newest display, which "
                       "GET /admin/phones/ID/frames/SEQ hands out as PNG; 0..1000, 0 is off."),
        QStringLiteral("n"), QString::number(defaults.keepSourceFrames));
    parser.addOptions({listen, adminListen, secret, restartMs, resetMs, maxFps, maxPhones, idleMs,
                       mixedScreens, store, displayCodec, videoKbps, keepSourceFrames});
    parser.process(app);

    farm::FarmOptions options;
    options.secret = parser.value(secret).toUtf8();
    options.mixedScreens = parser.isSet(mixedScreens);
    bool ok[7];
    options.restartMs = parser.value(restartMs).toLongLong(&ok[0]);
    options.resetMs = parser.value(resetMs).toLongLong(&ok[1]);
    options.maxFps = parser.value(maxFps).toInt(&ok[2]);
    options.maxPhones = parser.value(maxPhones).toInt(&ok[3]);
    options.idleMs = parser.value(idleMs).toInt(&ok[4]);
    options.videoKbps = parser.value(videoKbps).toInt(&ok[5]);
    options.keepSourceFrames = parser.value(keepSourceFrames).toInt(&ok[6]);
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || !ok[4] || !ok[5] || !ok[6] || options.keepSourceFrames < 0 ||
        options.keepSourceFrames > 1000 || options.restartMs < 0 || options.resetMs < 0 ||
        options.maxFps < 1 || options.maxFps > 60 || options.maxPhones < 1 || options.idleMs < 1 ||
        options.videoKbps < 100 || options.videoKbps > 50000)
        return fail(QStringLiteral("bad numeric option"));
    const QString codec = parser.value(displayCodec);
    if (codec != QLatin1String("h264") && codec != QLatin1String("jpeg"))
        return fail(QStringLiteral("--display-codec must be h264 or jpeg"));
    options.h264 = codec == QLatin1String("h264");
    if (options.secret.isEmpty())
        return fail(QStringLiteral("the secret must not be empty"));
    options.storeUrl = QUrl(parser.value(store), QUrl::StrictMode);
    if (!options.storeUrl.isValid() || options.storeUrl.host().isEmpty() ||
        (options.storeUrl.scheme() != QLatin1String("http") &&
         options.storeUrl.scheme() != QLatin1String("https")))
        return fail(QStringLiteral("bad --store address: %1").arg(parser.value(store)));

    QHostAddress gatewayAddress, adminAddress;
    quint16 gatewayPort = 0, adminPort = 0;
    if (!parseAddress(parser.value(listen), &gatewayAddress, &gatewayPort))
        return fail(QStringLiteral("bad --listen address: %1").arg(parser.value(listen)));
    if (!parseAddress(parser.value(adminListen), &adminAddress, &adminPort))
        return fail(QStringLiteral("bad --admin-listen address: %1").arg(parser.value(adminListen)));

    farm::Farm phones(options);
    farm::Gateway gateway(&phones);
    if (!gateway.listen(gatewayAddress, gatewayPort))
        return fail(
            QStringLiteral("cannot listen on %1: %2").arg(parser.value(listen), gateway.errorString()));
    farm::AdminServer admin(&phones);
    if (!admin.start(adminAddress.toString(), adminPort))
        return fail(QStringLiteral("cannot listen on %1").arg(parser.value(adminListen)));

    std::printf("gateway on %s:%u\n", qPrintable(gatewayAddress.toString()), gateway.port());
    std::printf("admin on http://%s:%d\n", qPrintable(adminAddress.toString()), admin.port());
    std::fflush(stdout);

    // Quit cleanly on SIGINT/SIGTERM so the admin thread is joined.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return fail(QStringLiteral("socketpair failed"));
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    const int code = app.exec();
    admin.stop();
    return code;
}
