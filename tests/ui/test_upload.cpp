// Files to phones against a real provider, phone farm and s3rver: the upload jobs, the hand-over
// rounds, the phones' transfers with their tips, the upload window, and the limits of the texts a
// transfer carries.
#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "objstore/client.h"
#include "oper/zqphoneform.h"
#include "phone/sdkmanager.h"
#include "platform/windowmessage.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/uploadstack.h"
#include "tests/ui/uitest.h"
#include "transfer/objupload.h"
#include "transfer/transfertask.h"
#include "transfer/uploadwindow.h"
#include "ui/mainwindowhandle.h"
#include "ui/zqdevicelist.h"
#include "ui/zqdevicelistitem.h"
#include "ui/zqtips.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMimeData>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <mutex>

namespace {

using testsupport::freshAccount;
using testsupport::livePhones;
using testsupport::logIn;
using testsupport::pump;
using testsupport::tick;
using testsupport::waitFor;

// Stands in for the main window to record the tips asked of it; `bus` records bus messages.
class Sink : public QWidget
{
public:
    explicit Sink(std::initializer_list<int> types) : bus(types) { setMainWindowHandle(this); }
    ~Sink() override { setMainWindowHandle(nullptr); }
    testsupport::BusRecorder bus;
    QStringList tips;

protected:
    bool event(QEvent *e) override
    {
        auto *window = platform::WindowMessageEvent::from(e);
        if (!window)
            return QWidget::event(e);
        if (window->message() == tipMessage)
            tips.append(tipText(window->buffer()));
        return true;
    }
};

// The packages installed on a phone, as "version|package|label" entries.
QString installed(const phoneRecord &phone)
{
    harness::Request request(phone.deviceUcId.toLatin1(), phone.deviceId.toLatin1());
    cc_core_send_get_installed_package_msg_tob(request.session(), &harness::Request::callback);
    request.wait();
    return QString::fromUtf8(request.result().data);
}

QString writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() ? path : QString();
}

QString md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

} // namespace

class TestUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void apkToTwoPhones();
    void videoKeyAndRounds();
    void missingFileStopsTheRest();
    void dropOnTiles();
    void dropOnControlWindow();
    void failures();
    void awkwardNames();
    void limits();
    void webTransfer();

private:
    std::unique_ptr<ZqDeviceList> grid(const QList<phoneRecord> &ticked);
    // Posts Msg::uploadFiles for `files` (as a drop does) and waits until `count` uploads are stored.
    bool upload(ZqDeviceList *grid, const QStringList &files, int count, const QString &deviceId = QString());

    QTemporaryDir m_dir;
    UploadStack m_stack;
};

void TestUpload::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QString error;
    QVERIFY2(m_stack.start(&error), qPrintable(error));
    cc_core_set_gateway("127.0.0.1", m_stack.farm.port);

    freshAccount(m_stack.provider().baseUrl());
    QVERIFY(logIn("13800000000", "pelomir2026", 24));
}

void TestUpload::cleanupTestCase()
{
    QVERIFY(waitFor([] { return g_threadPool.idleCount() == g_threadPool.workerCount(); }));
    m_stack.stop();
}

void TestUpload::init()
{
    g_config->objstoreEndpoint = m_stack.store.endpoint();
    g_config->objstoreSignature = "v2";
}

std::unique_ptr<ZqDeviceList> TestUpload::grid(const QList<phoneRecord> &ticked)
{
    auto grid = std::make_unique<ZqDeviceList>();
    grid->resize(700, 600);
    grid->show();
    for (const phoneRecord &phone : ticked)
        tick(phone.cloudPhoneId);
    pump(); // ticked phones come with their tiles checked
    return grid;
}

bool TestUpload::upload(ZqDeviceList *grid, const QStringList &files, int count, const QString &deviceId)
{
    QJsonArray list;
    for (const QString &file : files)
        list.append(file);
    post(Msg::uploadFiles, {{"deviceId", deviceId}, {"files", list}});
    return waitFor([grid, count] { return grid->pendingUploadCount() == count; });
}

// An APK ticked to two phones: two transfers with the install flag, two success tips, the app on
// both launchers, and the upload window showing both results.
void TestUpload::apkToTwoPhones()
{
    Sink sink({Msg::showDialog, Msg::transferResult, Msg::uploadHandedOver});
    const QList<phoneRecord> two = livePhones().mid(0, 2);
    auto list = grid(two);
    const QString apk =
        writeFile(m_dir.filePath("notes.apk"),
                  "PMAPK 1\npackage: com.pelomir.notes\nlabel: Notes\ncolor: #2e7d32\n\nbody");
    QVERIFY(upload(list.get(), {apk}, 1));
    list->checkPendingUploads();
    QVERIFY(waitFor([&] { return sink.tips.size() == 2; }));
    QCOMPARE(sink.tips, QStringList({"文件上传成功", "文件上传成功"}));
    QCOMPARE(list->pendingUploadCount(), 0);
    const QList<QJsonObject> results = sink.bus.payloads(Msg::transferResult);
    QCOMPARE(results.size(), 2);
    for (const QJsonObject &result : results) {
        // An install answers with the package after the stored name.
        QVERIFY2(result["detail"].toString().endsWith("|com.pelomir.notes"),
                 qPrintable(result["detail"].toString()));
    }
    for (const phoneRecord &phone : two)
        QVERIFY(installed(phone).contains("|com.pelomir.notes|Notes"));

    UploadWindow *window = list->uploadWindow();
    QVERIFY(window);
    const int row = window->rowCount() - 1;
    QVERIFY(waitFor([&] { return window->resultText(row).count("成功") == 2; }));
    QCOMPARE(window->progressPercent(row), 100);
    QVERIFY(window->statusText(row).contains("已通知设备"));
    window->resize(560, 300);
    const QString artifacts = qEnvironmentVariable("PELOMIR_ARTIFACT_DIR");
    if (!artifacts.isEmpty() && QDir().mkpath(artifacts))
        QVERIFY(window->grab().save(artifacts + "/upload-window-results.png"));
}

// A video's object key is the day and the digest with its extension and no install flag; two uploads
// stored between two rounds are handed over in the same round, in the order they were stored.
void TestUpload::videoKeyAndRounds()
{
    Sink sink({Msg::transferResult, Msg::uploadHandedOver, Msg::uploadEnded});
    const phoneRecord phone = livePhones().at(2);
    auto list = grid({phone});
    const QByteArray video = QByteArray(300 * 1024, 'v') + "tail";
    const QString first = writeFile(m_dir.filePath("clip.mp4"), video);
    const QString second = writeFile(m_dir.filePath("read.me"), "second file");
    QVERIFY(upload(list.get(), {first}, 1, phone.deviceId));
    QVERIFY(upload(list.get(), {second}, 2, phone.deviceId));
    const QList<QJsonObject> ended = sink.bus.payloads(Msg::uploadEnded);
    QCOMPARE(ended.size(), 2);

    list->checkPendingUploads();
    pump();
    const QList<QJsonObject> handed = sink.bus.payloads(Msg::uploadHandedOver);
    QCOMPARE(handed.size(), 2);
    QCOMPARE(handed[0]["uploadId"], ended[0]["uploadId"]);
    QCOMPARE(handed[1]["uploadId"], ended[1]["uploadId"]);
    QVERIFY(waitFor([&] { return sink.bus.payloads(Msg::transferResult).size() == 2; }));

    const QString day = QDate::currentDate().toString("yyyy/MM/dd");
    const QString userId = QString::number(g_userInfo->userDetail().userId);
    QStringList stored;
    for (const QJsonObject &result : sink.bus.payloads(Msg::transferResult)) {
        QVERIFY(result["code"].toInt() >= 0);
        QVERIFY(!result["detail"].toString().contains('|')); // nothing installed
        stored.append(result["detail"].toString());
    }
    stored.sort();
    // Files are stored under their object names; the four-letter ending keeps no dot.
    QStringList expected{md5("second file") + "d.me", md5(video) + ".mp4"};
    expected.sort();
    QCOMPARE(stored, expected);
    // The object is at upload/<user>/<day>/<md5>.mp4 with the file's bytes (read from the store
    // itself: the front lets no one read without a grant).
    QProcess curl;
    curl.start("curl", {"-s", m_stack.store.storeEndpoint() + "/" + m_stack.store.bucket() + "/upload/" +
                                  userId + "/" + day + "/" + md5(video) + ".mp4"});
    QVERIFY(curl.waitForFinished(30000));
    QCOMPARE(curl.readAllStandardOutput(), video);
}

void TestUpload::missingFileStopsTheRest()
{
    Sink sink({Msg::showDialog, Msg::uploadEnded});
    auto list = grid({livePhones().at(3)});
    const QString a = writeFile(m_dir.filePath("a.txt"), "a");
    const QString c = writeFile(m_dir.filePath("c.txt"), "c");
    post(Msg::uploadFiles, {{"files", QJsonArray{a, m_dir.filePath("gone.txt"), c}}});
    QVERIFY(waitFor([&] { return list->pendingUploadCount() == 1; }));
    QVERIFY(sink.bus.notices().contains("你选择的文件不存在"));
    QCOMPARE(list->uploadWindow()->rowCount(), 1);
    QCOMPARE(sink.bus.payloads(Msg::uploadEnded).size(), 1);

    // With no phone named or ticked, nothing is asked.
    for (ZqDeviceListItem *tile : list->tiles())
        QTest::mouseClick(tile->findChild<QCheckBox *>("chkSelect"), Qt::LeftButton);
    post(Msg::uploadFiles, {{"files", QJsonArray{c}}});
    pump();
    QVERIFY(sink.bus.notices().contains("没有选择设备"));
    QCOMPARE(list->uploadWindow()->rowCount(), 1);
}

// A file dropped on an unticked tile goes to that phone; on a ticked tile, to every ticked phone.
void TestUpload::dropOnTiles()
{
    const QList<phoneRecord> three = livePhones().mid(7, 3);
    auto list = grid(three);
    ZqDeviceListItem *unticked = list->tile(three[1].cloudPhoneId);
    QTest::mouseClick(unticked->findChild<QCheckBox *>("chkSelect"), Qt::LeftButton);
    QVERIFY(!unticked->isSelected());
    const QString file = writeFile(m_dir.filePath("dropped.txt"), "dropped");
    auto drop = [&](ZqDeviceListItem *tile) {
        QMimeData mime;
        mime.setUrls(
            {QUrl::fromLocalFile(file), QUrl::fromLocalFile(m_dir.path()), QUrl("http://host/x.txt")});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(tile, &enter);
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(tile, &dropped);
        return enter.isAccepted() && dropped.isAccepted();
    };
    QVERIFY(drop(unticked));
    QVERIFY(waitFor([&] { return list->uploadWindow() && list->uploadWindow()->rowCount() == 1; }));
    QCOMPARE(list->uploadWindow()->resultText(0).split('\n').size(), 1);
    QVERIFY(list->uploadWindow()->resultText(0).startsWith(three[1].name));
    QVERIFY(drop(list->tile(three[0].cloudPhoneId)));
    QVERIFY(waitFor([&] { return list->uploadWindow()->rowCount() == 2; }));
    const QString both = list->uploadWindow()->resultText(1);
    QVERIFY2(both.contains(three[0].name) && both.contains(three[2].name) && !both.contains(three[1].name),
             qPrintable(both));
    QVERIFY(waitFor([&] { return list->pendingUploadCount() == 2; }));

    // Only local files count; a drop of nothing else is refused.
    QMimeData remote;
    remote.setUrls({QUrl("http://host/x.txt")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(unticked, &enter);
    QVERIFY(!enter.isAccepted());
}

// A file dropped on a control window goes to that window's phone alone, though others are ticked,
// and reaches it. A window whose phone has left the grid gets a notice, and a phone that may not be
// operated takes no drop; neither uploads anything.
void TestUpload::dropOnControlWindow()
{
    Sink sink({Msg::transferResult, Msg::showDialog});
    const QList<phoneRecord> all = livePhones();
    const QList<phoneRecord> ticked = all.mid(11, 3);
    const phoneRecord &phone = ticked[1];
    auto list = grid(ticked);
    auto form = [](const phoneRecord &p) {
        return std::make_unique<ZqPhoneForm>(p.deviceId, p.name, p.deviceUcId, p.phoneNo,
                                             p.deviceUcIdTimestamp, p.cloudPhoneId);
    };
    const QString file = writeFile(m_dir.filePath("onwindow.txt"), "dropped on a window");
    auto drop = [&](ZqPhoneForm *window) {
        QMimeData mime;
        mime.setUrls(
            {QUrl("http://host/x.txt"), QUrl::fromLocalFile(m_dir.path()), QUrl::fromLocalFile(file)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &enter);
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &dropped);
        return enter.isAccepted() && dropped.isAccepted();
    };
    const auto window = form(phone);
    QVERIFY(drop(window.get()));
    QVERIFY(waitFor([&] { return list->pendingUploadCount() == 1; }));
    const QString targets = list->uploadWindow()->resultText(list->uploadWindow()->rowCount() - 1);
    QVERIFY2(!targets.contains('\n') && targets.startsWith(phone.name), qPrintable(targets));
    list->checkPendingUploads();
    QVERIFY(waitFor([&] { return sink.bus.payloads(Msg::transferResult).size() == 1; }));
    const QJsonObject result = sink.bus.payloads(Msg::transferResult).first();
    QCOMPARE(result["deviceId"].toString(), phone.deviceId);
    QVERIFY2(result["code"].toInt() >= 0, qPrintable(result["detail"].toString()));
    QCOMPARE(result["detail"].toString(), md5("dropped on a window") + ".txt");

    const int rows = list->uploadWindow()->rowCount();
    QVERIFY(drop(form(all.at(15)).get()));
    QVERIFY(waitFor([&] { return sink.bus.notices().contains("找不到对应设备"); }));
    ZqPhoneForm::setAccount({[&phone](int id) { return id != phone.cloudPhoneId; }, {}});
    const bool restrictedTook = drop(window.get());
    ZqPhoneForm::setAccount({});
    QVERIFY(!restrictedTook);
    pump();
    QCOMPARE(list->uploadWindow()->rowCount(), rows);
    QCOMPARE(list->pendingUploadCount(), 0);
}

// Upload info without credentials, a store that cannot be reached, and a file address the phone
// cannot fetch: each ends in its notice or tip and leaves nothing pending.
void TestUpload::failures()
{
    Sink sink({Msg::showDialog, Msg::uploadEnded, Msg::transferResult});
    const phoneRecord phone = livePhones().at(4);
    auto list = grid({phone});
    const QString file = writeFile(m_dir.filePath("f.txt"), "payload");

    // The phone's registration asks the account model on a pool worker; it is swapped only after.
    QVERIFY(waitFor([&] { return sdkManager.phone(phone.cloudPhoneId) != nullptr; }));
    const std::shared_ptr<userInfo> loggedIn = g_userInfoHolder;
    g_userInfoHolder = std::make_shared<userInfo>(); // no session: the answer has no credentials
    post(Msg::uploadFiles, {{"files", QJsonArray{file}}});
    QVERIFY(waitFor([&] { return sink.bus.payloads(Msg::uploadEnded).size() == 1; }));
    g_userInfoHolder = loggedIn;
    QVERIFY(sink.bus.notices().contains("初始化对象存储失败"));

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString nowhere = QString("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    g_config->objstoreEndpoint = nowhere;
    post(Msg::uploadFiles, {{"files", QJsonArray{file}}});
    QVERIFY(waitFor([&] { return sink.bus.payloads(Msg::uploadEnded).size() == 2; }, 60000));
    QCOMPARE(sink.bus.payloads(Msg::uploadEnded).last()["stored"].toBool(), false);
    QCOMPARE(list->pendingUploadCount(), 0);

    // Stored, then swapped in the store before the phone fetches it: the phone refuses the bytes and
    // the tip says the transfer failed. Signed with the second kind this time.
    g_config->objstoreEndpoint = m_stack.store.endpoint();
    g_config->objstoreSignature = "v4";
    const QString apk =
        writeFile(m_dir.filePath("swapped.apk"), "PMAPK 1\npackage: com.pelomir.real\nlabel: Real\n\n");
    QVERIFY(upload(list.get(), {apk}, 1));
    const QString day = QDate::currentDate().toString("yyyy/MM/dd");
    const QString key = QString("upload/%1/%2/%3.apk")
                            .arg(g_userInfo->userDetail().userId)
                            .arg(day, md5("PMAPK 1\npackage: com.pelomir.real\nlabel: Real\n\n"));
    QProcess curl;
    curl.start("curl", {"-s", "-f", "-X", "PUT", "--data-binary", "PMAPK 1\npackage: com.pelomir.swapped\n\n",
                        m_stack.store.storeEndpoint() + "/" + m_stack.store.bucket() + "/" + key});
    QVERIFY(curl.waitForFinished(30000) && curl.exitCode() == 0);
    list->checkPendingUploads();
    QVERIFY(waitFor([&] { return sink.tips.size() == 1; }, 60000));
    QCOMPARE(sink.tips, QStringList{"文件上传失败"});
    const QJsonObject refused = sink.bus.payloads(Msg::transferResult).last();
    QVERIFY(refused["code"].toInt() < 0);
    QVERIFY2(refused["detail"].toString().contains("sha256"), qPrintable(refused["detail"].toString()));
    QVERIFY(!installed(phone).contains("com.pelomir.swapped"));
    QVERIFY(!installed(phone).contains("com.pelomir.real"));
}

// Names that are not plain ASCII, or that hold characters with a meaning in an address, reach the
// phone under their own name: the address is percent-encoded, and a character outside the basic plane
// at the cut of the name's last four is kept whole.
void TestUpload::awkwardNames()
{
    Sink sink({Msg::transferResult, Msg::uploadHandedOver});
    const phoneRecord phone = livePhones().at(14);
    auto list = grid({phone});
    const QDir dir(m_dir.filePath("names"));
    QVERIFY(dir.mkpath("."));
    // File name, the name the phone stores it under (the object key's last segment, with "?" made
    // "_"), and whether that segment begins with the file's digest.
    struct Name
    {
        QString file, stored;
        bool digest;
    };
    const QList<Name> names{
        {"说明书", "说明书", false}, {"笑😀", "笑😀", false},          {"😀abc", "😀abc", true},
        {"a b c", " b c", true},     {"x#y", "x#y", false},          {"q?r", "q_r", false},
        {"p%41", "p%41", true},      {"资料 #1?.txt", ".txt", true},
    };
    QStringList files, want;
    for (const Name &name : names) {
        const QByteArray content = "content of " + name.file.toUtf8();
        files.append(writeFile(dir.filePath(name.file), content));
        QVERIFY(!files.last().isEmpty());
        want.append(name.digest ? md5(content) + name.stored : name.stored);
    }
    QVERIFY(upload(list.get(), files, names.size(), phone.deviceId));
    list->checkPendingUploads();
    QVERIFY(waitFor([&] { return sink.bus.payloads(Msg::transferResult).size() == names.size(); }, 60000));
    QStringList stored;
    for (const QJsonObject &result : sink.bus.payloads(Msg::transferResult)) {
        QVERIFY2(result["code"].toInt() >= 0, qPrintable(result["detail"].toString()));
        stored.append(result["detail"].toString());
    }
    stored.sort();
    want.sort();
    QCOMPARE(stored, want);
    for (const QJsonObject &handed : sink.bus.payloads(Msg::uploadHandedOver))
        QCOMPARE(handed["failed"].toInt(), 0);
    QVERIFY(!sink.tips.contains("文件上传失败"));
}

void TestUpload::limits()
{
    TransferTask task;
    QString why;
    QVERIFY(task.fill(QString(31, 'd'), QString(255, 'u'), "http://h/" + QString(1014, 'x'), &why));
    QCOMPARE(qstrlen(task.url), size_t(1023));
    QVERIFY(!task.fill(QString(32, 'd'), "u", "http://h/x", &why));
    QVERIFY(why.contains("deviceId"));
    QVERIFY(!task.fill("d", QString(256, 'u'), "http://h/x", &why));
    QVERIFY(!task.fill("d", "u", "http://h/" + QString(1015, 'x'), &why));
    QVERIFY(!task.fill("d", QString::fromUtf8("凭证"), "http://h/x", &why));

    // A file whose address would not fit a transfer is refused before it is uploaded. The signed
    // address of the second kind has a fixed length but for the bucket's name, which sets it here.
    Sink sink({Msg::showDialog});
    const QString file = writeFile(m_dir.filePath("long.txt"), "long");
    const storegrant::Grant grant = S3rverProcess::grant("upload/limits");
    const std::string key = "upload/limits/" + QDate::currentDate().toString("yyyy/MM/dd").toStdString() +
                            "/" + md5("long").toStdString() + ".txt";
    const int fixed =
        int(objstore::presignGet(objstore::SignatureVersion::V4, m_stack.store.endpoint().toStdString(), "",
                                 key, grant.keyId, grant.secret, grant.token, "us-east-1", 0,
                                 ObjUpload::urlTtlSeconds)
                .size()) +
        8 + 64; // "#sha256=" and the digest
    for (int extra : {0, 1}) {
        ObjUpload upload;
        upload.signature = "v4";
        QVERIFY(upload.loadUploadInfo({{"accessKeyId", QString::fromStdString(grant.keyId)},
                                       {"accessKeySecret", QString::fromStdString(grant.secret)},
                                       {"securityToken", QString::fromStdString(grant.token)},
                                       {"bucket", QString(ObjUpload::maxUrlBytes - fixed + extra, 'b')},
                                       {"fileUploadPath", "upload/limits"}}));
        // The address fits and the upload goes out, to a bucket the store does not serve.
        QVERIFY(!upload.uploadFile(file, "long.txt"));
        pump();
        QCOMPARE(sink.bus.notices().size(), extra + 1);
        QCOMPARE(sink.bus.notices().last().contains("1023"), extra == 1);
    }
}

// The upload page's transfer: one reply per phone with the page's callback name and the SDK's code.
void TestUpload::webTransfer()
{
    const phoneRecord phone = livePhones().at(6);
    const QString file =
        writeFile(m_dir.filePath("web.apk"), "PMAPK 1\npackage: com.pelomir.web\nlabel: Web\n\n");
    std::mutex lock;
    QByteArrayList replies;
    WebTransfer transfer;
    QString why;
    // Stored under a grant of its own; the phone gets a signed address with the file's digest.
    const storegrant::Grant grant = S3rverProcess::grant("web");
    const objstore::Client client(m_stack.store.endpoint().toStdString(),
                                  {grant.keyId, grant.secret, grant.token});
    objstore::UploadRequest stored;
    stored.bucket = m_stack.store.bucket().toStdString();
    stored.key = "web/web.apk";
    stored.filePath = file.toStdString();
    QVERIFY(client.putObject(stored).success);
    QFile content(file);
    QVERIFY(content.open(QIODevice::ReadOnly));
    const QString digest = QCryptographicHash::hash(content.readAll(), QCryptographicHash::Sha256).toHex();
    const QString url =
        QString::fromStdString(client.presignedGetUrl(stored.bucket, stored.key, 600)) + "#sha256=" + digest;

    // Any address but the store's is refused without a connection being made.
    QTcpServer elsewhere;
    QVERIFY(elsewhere.listen(QHostAddress::LocalHost));
    std::atomic<int> refusedCode{0};
    QVERIFY(transfer.task.fill(
        phone.deviceId, phone.deviceUcId,
        QString("http://127.0.0.1:%1/web.apk#sha256=%2").arg(elsewhere.serverPort()).arg(digest), &why));
    sendTransfer(transfer.task, [&](int code, const QByteArray &) { refusedCode = code; });
    QVERIFY(waitFor([&] { return refusedCode.load() != 0; }));
    QVERIFY(refusedCode.load() < 0);
    QVERIFY(!elsewhere.hasPendingConnections());
    // The store's address without a digest is refused too.
    refusedCode = 0;
    QVERIFY(transfer.task.fill(phone.deviceId, phone.deviceUcId, url.left(url.indexOf('#')), &why));
    sendTransfer(transfer.task, [&](int code, const QByteArray &) { refusedCode = code; });
    QVERIFY(waitFor([&] { return refusedCode.load() != 0; }));
    QVERIFY(refusedCode.load() < 0);

    QVERIFY(transfer.task.fill(phone.deviceId, phone.deviceUcId, url, &why));
    transfer.type = 1;
    transfer.callback = QString(TransferTask::maxCallbackBytes, 'c');
    transfer.deliver = [&](const QByteArray &reply) {
        std::lock_guard<std::mutex> guard(lock);
        replies.append(reply);
    };
    QVERIFY(sendWebTransfer(transfer));
    QVERIFY(waitFor([&] {
        std::lock_guard<std::mutex> guard(lock);
        return replies.size() == 1;
    }));
    const QJsonObject reply = QJsonDocument::fromJson(replies.first()).object();
    QCOMPARE(reply["callback"].toString(), transfer.callback);
    QCOMPARE(reply["value"].toObject()["deviceId"].toString(), phone.deviceId);
    QCOMPARE(reply["value"].toObject()["ucid"].toString(), phone.deviceUcId);
    QVERIFY(reply["value"].toObject()["type"].toInt() >= 0);
    QVERIFY(installed(phone).contains("|com.pelomir.web|"));

    transfer.callback += 'c';
    QVERIFY(!sendWebTransfer(transfer));
}

PELOMIR_UI_TEST(TestUpload, 30)
#include "test_upload.moc"
