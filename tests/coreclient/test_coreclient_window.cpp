// A phone in a real X window (Xvfb): the launcher shows, a click on an icon
// opens that app, and the screen as X shows it is saved as a screenshot.

#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/farmharness.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QSignalSpy>
#include <QWidget>
#include <QtTest>

namespace {

QPoint iconCentre(const QString &dump, const QString &package)
{
    const QRegularExpression re(
        QStringLiteral("content-desc=\"%1\" bounds=\"\\[(\\d+),(\\d+)\\]\\[(\\d+),(\\d+)\\]\"")
            .arg(QRegularExpression::escape(package)));
    const auto m = re.match(dump);
    if (!m.hasMatch())
        return {-1, -1};
    return {(m.captured(1).toInt() + m.captured(3).toInt()) / 2,
            (m.captured(2).toInt() + m.captured(4).toInt()) / 2};
}

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 24 && qAbs(qGreen(a) - qGreen(b)) < 24 && qAbs(qBlue(a) - qBlue(b)) < 24;
}

} // namespace

class TestCoreClientWindow : public QObject
{
    Q_OBJECT

    harness::Farm farm;

    QString dump(const QByteArray &phone)
    {
        return QString::fromUtf8(
            harness::run(harness::credential(phone), phone, [](SdkSession *s, SdkCallback cb) {
                return cc_core_send_adb_command_msg_tob(s, "uiautomator dump", cb, 0);
            }).data);
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("no X server (xvfb-run not found)");
        QVERIFY(farm.start());
        cc_core_set_gateway("127.0.0.1", farm.port);
    }

    void cleanupTestCase() { cc_core_uninit(); }

    void clickOpensApp()
    {
        const QByteArray phone = "PMXVFB0001", cred = harness::credential(phone);
        QWidget surface;
        surface.setWindowTitle(QStringLiteral("phone"));
        surface.setFocusPolicy(Qt::StrongFocus);
        surface.setGeometry(40, 40, 360, 640);
        surface.show();
        QVERIFY(QTest::qWaitForWindowExposed(&surface));
        QCOMPARE(cc_core_connect_phone_tob(cred.constData(), phone.constData(), surface.winId(), 1, 0, 0, 0,
                                           0, 0, 0),
                 0);
        auto *child = surface.findChild<QWidget *>(QStringLiteral("ccRenderView"));
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(60000));

        const QString outDir = QDir::currentPath();
        QImage launcher = QGuiApplication::primaryScreen()->grabWindow(surface.winId()).toImage();
        QVERIFY(launcher.save(QDir(outDir).filePath(QStringLiteral("coreclient-window-launcher.png"))));

        const QPoint icon = iconCentre(dump(phone), QStringLiteral("com.pmapps.notes"));
        QVERIFY(icon.x() > 0);
        QSignalSpy sent(child, SIGNAL(inputSent(quint32)));
        QTest::mouseClick(child, Qt::LeftButton, {}, icon / 2);
        QCOMPARE(sent.count(), 2);
        const quint32 release = sent.last().at(0).toUInt();
        QTRY_VERIFY_WITH_TIMEOUT(dump(phone).contains(QStringLiteral("package=\"com.pmapps.notes\"")), 60000);
        // Wait for a painted frame drawn after the click reached the phone.
        QTRY_VERIFY_WITH_TIMEOUT(!painted.isEmpty() && painted.last().at(1).toUInt() >= release, 60000);
        QCoreApplication::processEvents();

        // What X shows: the notes app bar in its colour across the top of the window.
        QImage app;
        QTRY_VERIFY_WITH_TIMEOUT(
            (app = QGuiApplication::primaryScreen()->grabWindow(surface.winId()).toImage(),
             near(app.pixel(300, 50), qRgb(0xf4, 0xb4, 0x00))),
            60000);
        QVERIFY(app.save(QDir(outDir).filePath(QStringLiteral("coreclient-window.png"))));
        qInfo("screenshots in %s", qPrintable(outDir));
        // The click left keyboard focus with the surface, not the render child.
        QVERIFY(!child->hasFocus());
        cc_core_close_phone(surface.winId());
    }
};

int main(int argc, char *argv[])
{
    testsupport::runUnderXvfb(argc, argv, "1024x768x24");
    QApplication app(argc, argv);
    TestCoreClientWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_coreclient_window.moc"
