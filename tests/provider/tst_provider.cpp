// The provider test's fixture, and the command line.
#include "tests/provider/tst_provider.h"

void TestProvider::initTestCase()
{
    QVERIFY(dir_.isValid());
    main_ = std::make_unique<ProviderProcess>(
        dir_.filePath("main.db"),
        QStringList{"--dev", "--restart-seconds", "0.3", "--reset-seconds", "0.3", "--login-max-failures",
                    "3", "--login-lockout", "1", "--login-address-failures", "1000", "--sms-per-address",
                    "1000"});
    QString error;
    QVERIFY2(main_->start(&error), qPrintable(error));
}

void TestProvider::cleanupTestCase()
{
    if (main_)
        QCOMPARE(main_->terminate(), 0);
}

QString TestProvider::demoToken()
{
    return main_->login(kDemo, kDemoPassword);
}

void TestProvider::commandLine()
{
    const QString bin = testsupport::binDir() + "/pelomir-provider";
    QProcess help;
    help.start(bin, {"--help"});
    QVERIFY(help.waitForFinished(10000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char *option :
         {"--listen", "--db", "--dev", "--farm", "--farm-secret", "--seed-phones", "--token-ttl",
          "--fast-hash", "--store-bucket", "--update-url", "--update-force", "--sms-interval"})
        QVERIFY2(text.contains(option), option);
    // Defaults come from the values the server runs with.
    QVERIFY(text.contains("127.0.0.1:18080"));
    QVERIFY(text.contains("604800"));

    // An option right after one that needs a value is not taken as that value.
    QProcess swallowed;
    swallowed.start(bin,
                    {"--listen", "127.0.0.1:0", "--db", dir_.filePath("y.db"), "--farm-secret", "--dev"});
    QVERIFY(swallowed.waitForFinished(10000));
    QCOMPARE(swallowed.exitCode(), 2);
    QVERIFY(!QFile::exists(dir_.filePath("y.db")));
    QProcess badValue;
    badValue.start(bin, {"--db", dir_.filePath("z.db"), "--threads", "0"});
    QVERIFY(badValue.waitForFinished(10000));
    QCOMPARE(badValue.exitCode(), 2);
    QVERIFY(badValue.readAllStandardError().contains("--threads"));

    QProcess bad;
    bad.start(bin, {"--db", dir_.filePath("x.db"), "--no-such-option"});
    QVERIFY(bad.waitForFinished(10000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("--no-such-option"));

    QProcess noDb;
    noDb.start(bin, {"--listen", "127.0.0.1:0"});
    QVERIFY(noDb.waitForFinished(10000));
    QCOMPARE(noDb.exitCode(), 2);

    // A file that is not a sound database is refused, not overwritten.
    QFile junk(dir_.filePath("junk.db"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    const QByteArray garbage(8192, 'x');
    junk.write(garbage);
    junk.close();
    QProcess refused;
    refused.start(bin, {"--listen", "127.0.0.1:0", "--db", junk.fileName()});
    QVERIFY(refused.waitForFinished(10000));
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY(refused.readAllStandardOutput().isEmpty());
    QVERIFY(refused.readAllStandardError().contains("cannot open the database"));
    QVERIFY(junk.open(QIODevice::ReadOnly));
    QCOMPARE(junk.readAll(), garbage);
}

std::unique_ptr<ProviderProcess> TestProvider::fresh(const QString &name, const QStringList &args)
{
    auto server = std::make_unique<ProviderProcess>(dir_.filePath(name + ".db"), args);
    QString error;
    if (!server->start(&error)) {
        qWarning("%s", qPrintable(error));
        return nullptr;
    }
    return server;
}

QTEST_GUILESS_MAIN(TestProvider)
