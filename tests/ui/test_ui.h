#pragma once

// The class of test_ui.cpp (dialogs, tips, the main window, the login form) and test_ui_tree.cpp (the
// device tree and the device page), and the helpers both use.

#include "tests/support/providerprocess.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <vector>

class MainWindow;
class ZqDeviceLeftPanel;

namespace uitest {

template <class T> T *child(QWidget *parent, const char *name)
{
    T *w = parent->findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no child %s", name);
    return w;
}

// Types `text` key by key; characters without a key of their own arrive as text-only key events.
inline void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 128) {
            QTest::keyClick(widget, c.toLatin1());
        } else {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &press);
        }
    }
}

inline QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

inline const QString demoPhone = QStringLiteral("13800000000");
inline const QString demoPassword = QStringLiteral("pelomir2026");

} // namespace uitest

class TestUi : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_openedUrls.append(url); }

private slots:
    void initTestCase();
    void cleanupTestCase();

    void dialogProtocol_data();
    void dialogProtocol();
    void dialogStateBetweenRequests();
    void tips();
    void hitTestTable_data();
    void hitTestTable();
    void windowBeforeLogin();
    void typingAsTheWindowAppears();
    void libraryStartFailure();
    void screenshots();
    void updateCheck();
    void passwordLogin();
    void smsLoginAndCountdown();
    void failedLoginNoticesOnce();
    void forgotPasswordAndBack();
    void closeButtonEndsTheProgram();
    void deviceTreeFromInventory();
    void deviceTreeChecking();
    void deviceTreeSearchAndSort();
    void deviceTreeFollowsServer();
    void deviceTreeMenus();
    void deviceTreeLargeBuild();
    void devicePageScreenshot();
    void devicePageScreenshotChild();

private:
    QString startProvider(const QStringList &extra, QString *dbPath = nullptr);
    // A device tree of the demo account, logged in on a provider of its own, once its phones are in.
    std::unique_ptr<ZqDeviceLeftPanel> openTree(QString *dbPath = nullptr);
    QString smsCode(const QString &phone);
    // A shown main window whose account calls go to the test's provider, on its login page.
    std::unique_ptr<MainWindow> openWindow();
    void clearStoredAccount();

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<ProviderProcess>> m_providers;
    QString m_providerUrl;
    QList<QUrl> m_openedUrls;
};
