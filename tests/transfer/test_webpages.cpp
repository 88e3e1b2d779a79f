// The purchase and upload pages of a real provider in WebEngine: the web channel both ways, one
// transfer and one reply per named phone, the request checks, and pages that are built only once.
#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/uploadstack.h"
#include "transfer/webpages.h"
#include "transfer/webrequest.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <memory>

namespace {

using testsupport::livePhones;

// Runs `script` in the page and waits for its value.
QVariant runJs(QWebEngineView *view, const QString &script)
{
    bool done = false;
    QVariant result;
    view->page()->runJavaScript(script, [&](const QVariant &v) {
        result = v;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 30000))
        return QVariant();
    return result;
}

// Waits until `script` yields true in the page.
bool waitJs(QWebEngineView *view, const QString &script, int ms = 60000)
{
    return QTest::qWaitFor([&] { return runJs(view, script).toBool(); }, ms);
}

QString installed(const phoneRecord &phone)
{
    harness::Request request(phone.deviceUcId.toLatin1(), phone.deviceId.toLatin1());
    cc_core_send_get_installed_package_msg_tob(request.session(), &harness::Request::callback);
    request.wait();
    return QString::fromUtf8(request.result().data);
}

QString request(const QString &callback, int type, const QString &url, const QStringList &deviceIds)
{
    QJsonArray phones;
    for (const QString &id : deviceIds)
        phones.append(QJsonObject{{"deviceId", id}});
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{
                          {"callback", callback},
                          {"value", QJsonObject{{"type", type}, {"apkurl", url}, {"phoneInfo", phones}}},
                      })
            .toJson());
}

} // namespace

class TestWebPages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void uploadPageSendsToTickedPhones();
    void installOnlyForTypeOne();
    void badRequestsGetAnErrorReply();
    void reopeningKeepsThePage();
    void buyPageBuysAndRenews();
    void foreignTokenGetsTheLoginNotice();
    void requestParser();
    void repliesFitTheirBuffer();

private:
    // The signed address of a catalogue file, with its digest, as the provider offers it.
    QString catalogueUrl(const QString &file) const
    {
        const QJsonObject answer = m_stack.provider().get("/api/pc-web/v1/catalogue", g_userInfo->token());
        for (const QJsonValue &item : answer["content"].toArray())
            if (QUrl(item.toObject()["url"].toString()).fileName() == file)
                return item.toObject()["url"].toString();
        return {};
    }
    // Replies that reach the page window until `count` are there (or the wait ends).
    QList<QJsonObject> replies(QSignalSpy &spy, int count);

    UploadStack m_stack;
    QString m_url;
    std::unique_ptr<VMUpload> m_upload;
};

void TestWebPages::initTestCase()
{
    QString error;
    QVERIFY2(m_stack.start(&error), qPrintable(error));
    cc_core_set_gateway("127.0.0.1", m_stack.farm.port);
    m_url = m_stack.provider().baseUrl();

    testsupport::freshAccount(m_url);
    g_config->webUrl = m_url;
    QVERIFY(g_userInfo->login("13800000000", "pelomir2026", false));
    QTRY_VERIFY_WITH_TIMEOUT(g_userInfo->phoneCount() == 24 && !g_userInfo->reloadBusy(), 30000);
    m_upload = std::make_unique<VMUpload>();
}

void TestWebPages::cleanupTestCase()
{
    QTRY_VERIFY_WITH_TIMEOUT(g_threadPool.idleCount() == g_threadPool.workerCount(), 30000);
    m_upload.reset();
    m_stack.stop();
}

QList<QJsonObject> TestWebPages::replies(QSignalSpy &spy, int count)
{
    if (!QTest::qWaitFor([&] { return spy.size() >= count; }, 60000))
        qWarning() << "only" << spy.size() << "of" << count << "replies came";
    QList<QJsonObject> out;
    for (const QList<QVariant> &args : spy)
        out.append(QJsonDocument::fromJson(args.at(0).toString().toUtf8()).object());
    return out;
}

// The page's send button with two ticked phones and a catalogue app: two replies with the page's
// callback and each phone's own id, both shown as installed, and the app on both phones.
void TestWebPages::uploadPageSendsToTickedPhones()
{
    const QList<phoneRecord> all = livePhones();
    QVERIFY(all.size() >= 4);
    const phoneRecord a = all.at(0), b = all.at(3);
    QSignalSpy spy(m_upload.get(), &VMUpload::msgToJs);
    m_upload->loadPage();
    m_upload->show();
    QVERIFY(m_upload->address().endsWith("/pc-vue/#/upload?token=" + g_userInfo->token()));
    QWebEngineView *view = m_upload->view();
    QVERIFY(waitJs(view, "!!document.querySelector('#btnSend')"));
    // Inside the client the send button waits only for a ticked phone.
    QCOMPARE(runJs(view, "document.querySelector('#btnSend').disabled").toBool(), true);
    QVERIFY(runJs(view, "document.querySelector('#fileList input').checked").toBool());
    for (const phoneRecord &p : {a, b})
        QVERIFY(
            runJs(view, QString("(() => { const b = document.querySelector('#phoneList input[value=\"%1\"]');"
                                " if (!b) return false; b.click(); return b.checked; })()")
                            .arg(p.deviceId))
                .toBool());
    QCOMPARE(runJs(view, "document.querySelector('#btnSend').disabled").toBool(), false);
    runJs(view, "document.querySelector('#btnSend').click(); true");

    const QList<QJsonObject> got = replies(spy, 2);
    QCOMPARE(got.size(), 2);
    QSet<QString> ids;
    for (const QJsonObject &reply : got) {
        QCOMPARE(reply["callback"].toString(), QString("onUploadReply"));
        QVERIFY2(reply["value"].toObject()["type"].toInt() >= 0, qPrintable(QJsonDocument(reply).toJson()));
        ids.insert(reply["value"].toObject()["deviceId"].toString());
        const QString id = reply["value"].toObject()["deviceId"].toString();
        QCOMPARE(reply["value"].toObject()["ucid"].toString(),
                 id == a.deviceId ? a.deviceUcId : b.deviceUcId);
    }
    QCOMPARE(ids, (QSet<QString>{a.deviceId, b.deviceId}));
    QVERIFY(waitJs(view,
                   "[...document.querySelectorAll('#results tr td:last-child')].filter(t => t.textContent "
                   "=== '已安装').length === 2"));
    for (const phoneRecord &p : {a, b})
        QVERIFY(installed(p).contains("|com.pelomir.notes|"));

    // A request the client cannot read is answered with an error, which the page shows.
    m_upload->onRecvWebMsg(R"({"callback": "onUploadReply", "value": {"type": 1, "apkurl": 5}})");
    QVERIFY(waitJs(view, "document.querySelector('#why').textContent.startsWith('发送失败')"));
}

void TestWebPages::installOnlyForTypeOne()
{
    const phoneRecord phone = livePhones().at(1);
    QSignalSpy spy(m_upload.get(), &VMUpload::msgToJs);
    m_upload->onRecvWebMsg(request("plain", 2, catalogueUrl("pelomir-clock.apk"), {phone.deviceId}));
    QList<QJsonObject> got = replies(spy, 1);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got[0]["callback"].toString(), QString("plain"));
    QVERIFY(got[0]["value"].toObject()["type"].toInt() >= 0);
    QVERIFY(!installed(phone).contains("|com.pelomir.clock|"));

    // Without a "type", or with one that is not the number 1, the file is plain too.
    const QString clock = catalogueUrl("pelomir-clock.apk");
    for (const QString &type : {QString(), QString(R"("type": "1", )"), QString(R"("type": null, )")})
        m_upload->onRecvWebMsg(
            QString(
                R"({"callback": "plain", "value": {%1"apkurl": "%2", "phoneInfo": [{"deviceId": "%3"}]}})")
                .arg(type, clock, phone.deviceId));
    got = replies(spy, 4);
    QCOMPARE(got.size(), 4);
    for (const QJsonObject &reply : got) {
        QCOMPARE(reply["value"].toObject()["deviceId"].toString(), phone.deviceId);
        QVERIFY(reply["value"].toObject()["type"].toInt() >= 0);
    }
    QVERIFY(!installed(phone).contains("|com.pelomir.clock|"));

    m_upload->onRecvWebMsg(request("install", 1, clock, {phone.deviceId}));
    got = replies(spy, 5);
    QCOMPARE(got.size(), 5);
    QCOMPARE(got[4]["callback"].toString(), QString("install"));
    QVERIFY(installed(phone).contains("|com.pelomir.clock|"));
}

// Each unreadable request names a phone that could take the file, so a wrongly queued one would
// answer with that phone; instead each gets one error reply naming no phone, with its callback when
// that could be read. A request naming no phone, and an empty message, get no reply.
void TestWebPages::badRequestsGetAnErrorReply()
{
    const phoneRecord phone = livePhones().at(2);
    const QString url = catalogueUrl("welcome.txt");
    QSignalSpy spy(m_upload.get(), &VMUpload::msgToJs);
    const QString okCallback(WebUploadRequest::maxCallbackBytes, 'c');
    // request → the callback its error reply carries
    const QList<QPair<QString, QString>> bad{
        {"not json", ""},
        {"[1, 2]", ""},
        {request(okCallback + "c", 2, url, {phone.deviceId}), ""},
        {request(QString(43, QChar(0x4E2D)), 2, url, {phone.deviceId}), ""}, // 129 UTF-8 bytes
        {request("x", 2, url + "?" + QString(1023 - url.size(), 'p'), {phone.deviceId}), "x"},
        {request("x", 2, url, {phone.deviceId, QString(32, 'D')}), "x"},
        {QString(
             R"({"callback": 7, "value": {"type": 1, "apkurl": "%1", "phoneInfo": [{"deviceId": "%2"}]}})")
             .arg(url, phone.deviceId),
         ""},
        {QString(
             R"({"callback": "x", "value": {"type": 1, "apkurl": "%1", "phoneInfo": {"deviceId": "%2"}}})")
             .arg(url, phone.deviceId),
         "x"},
        {QString(R"({"callback": "x", "value": {"type": 1, "apkurl": "%1", "phoneInfo": [{"deviceId": 5}]}})")
             .arg(url),
         "x"},
        {QString(R"({"callback": "y", "value": {"type": 1, "apkurl": "%1", "phoneInfo": ["%2"]}})")
             .arg(url, phone.deviceId),
         "y"},
        // An address that still does not fit once its Chinese is percent-encoded (9 bytes each).
        {request("z", 2, url + "?" + QString(110, QChar(0x4E2D)), {phone.deviceId}), "z"},
    };
    for (const auto &[text, callback] : bad) {
        const int before = spy.size();
        m_upload->onRecvWebMsg(text);
        QTRY_COMPARE(spy.size(), before + 1);
        const QJsonObject reply = QJsonDocument::fromJson(spy.last().at(0).toString().toUtf8()).object();
        QCOMPARE(reply["callback"].toString(), callback);
        const QJsonObject value = reply["value"].toObject();
        QCOMPARE(value["type"].toInt(), webRequestRefused);
        QVERIFY2(!value["error"].toString().isEmpty(), qPrintable(text.left(80)));
        QVERIFY(!value.contains("deviceId"));
    }
    spy.clear();
    m_upload->onRecvWebMsg("");
    m_upload->onRecvWebMsg(QString(R"({"callback": "x", "value": {"type": 1, "apkurl": "%1"}})").arg(url));
    m_upload->onRecvWebMsg(
        QString(R"({"callback": "x", "value": {"type": 1, "apkurl": "%1", "phoneInfo": []}})").arg(url));
    // The longest texts that fit, and a phone the inventory does not know: both are still asked (the
    // padded address no longer names its digest, which the phone refuses), and the library's refusal
    // of the unknown phone comes back with an empty credential.
    const QString longUrl = url + "?" + QString(1022 - url.size(), 'p');
    m_upload->onRecvWebMsg(request(okCallback, 2, longUrl, {phone.deviceId, "PMUNKNOWN1"}));
    const QList<QJsonObject> got = replies(spy, 2);
    QTRY_VERIFY_WITH_TIMEOUT(g_threadPool.idleCount() == g_threadPool.workerCount(), 30000);
    QCOMPARE(spy.size(), 2);
    for (const QJsonObject &reply : got) {
        QCOMPARE(reply["callback"].toString(), okCallback);
        const QJsonObject value = reply["value"].toObject();
        if (value["deviceId"].toString() == phone.deviceId) {
            QCOMPARE(value["ucid"].toString(), phone.deviceUcId);
        } else {
            QCOMPARE(value["deviceId"].toString(), QString("PMUNKNOWN1"));
            QCOMPARE(value["ucid"].toString(), QString());
            QVERIFY(value["type"].toInt() < 0);
        }
    }
}

// Closing only hides the window; the next click shows the same page, not a new load, even when
// the session token has changed meanwhile.
void TestWebPages::reopeningKeepsThePage()
{
    m_upload->loadPage();
    QWebEngineView *view = m_upload->view();
    const QString address = m_upload->address();
    QVERIFY(waitJs(view, "!!document.querySelector('#btnSend')"));
    runJs(view, "window.keptMarker = 42; true");
    QSignalSpy loads(view, &QWebEngineView::loadStarted);
    m_upload->close();
    QVERIFY(!m_upload->isVisible());
    QVERIFY(g_userInfo->login("13800000000", "pelomir2026", false));
    m_upload->loadPage();
    QVERIFY(m_upload->isVisible());
    QCOMPARE(m_upload->view(), view);
    QCOMPARE(m_upload->address(), address);
    QCOMPARE(runJs(view, "window.keptMarker").toInt(), 42);
    QCOMPARE(loads.size(), 0);
}

void TestWebPages::buyPageBuysAndRenews()
{
    testsupport::BusRecorder bus({Msg::showDialog});
    VMBuy buy;
    QCOMPARE(buy.objectName(), QString("VMBuy"));
    QCOMPARE(buy.size(), QSize(1280, 768));
    buy.loadPage();
    buy.show();
    QWebEngineView *view = buy.view();
    QCOMPARE(view->size(), buy.size());
    QVERIFY(waitJs(view, "document.querySelectorAll('.plan').length > 0 && "
                         "document.querySelectorAll('#phones tr').length > 0"));
    // Every plan shows its price, and its icon or the letter that stands in for a missing one.
    QVERIFY(waitJs(view, "[...document.querySelectorAll('.plan')].every(p => p.querySelector('.price') && "
                         "(p.querySelector('.noicon') || p.querySelector('img').complete))"));
    // A second click that gets through before the first answer (the button enabled again in between)
    // sends the same order, which the provider pays once.
    const int before = g_userInfo->phoneCount();
    runJs(view, "(() => { const b = document.querySelector('#btnBuy'); b.click(); b.disabled = false; "
                "b.click(); })();"
                " true");
    QVERIFY(waitJs(view, "document.querySelector('#result').textContent.startsWith('购买成功')"));
    g_userInfo->reload();
    QTRY_VERIFY_WITH_TIMEOUT(g_userInfo->phoneCount() == before + 1 && !g_userInfo->reloadBusy(), 30000);

    // Renewing the first phone moves its expiry by the chosen month.
    const QString firstRow = "document.querySelector('#phones tr')";
    const QString expiryBefore = runJs(view, firstRow + ".children[3].textContent").toString();
    runJs(view, firstRow + ".querySelector('button').click(); true");
    QVERIFY(waitJs(view, "document.querySelector('#result').textContent.includes('续费成功')"));
    QVERIFY(runJs(view, firstRow + ".children[3].textContent").toString() != expiryBefore);

    // The window itself is on the channel under its name, both ways.
    runJs(view, "new QWebChannel(qt.webChannelTransport, c => { c.objects.VMBuyWebEngin.onJsFinished();"
                " c.objects.VMBuyWebEngin.onRecvWebMsg('hello'); }); true");
    QStringList notices;
    const auto collect = [&] {
        for (const ZQSlotMsg &m : bus.take()) {
            const QJsonObject dialog = textToJson(m.text);
            if (dialog["type"].toInt() == Dialog::notice)
                notices.append(dialog["lbl_1_Text"].toString());
        }
        return notices;
    };
    QTRY_COMPARE_WITH_TIMEOUT(collect(), (QStringList{"成功调用OnJsFinished()..", "onRecvWebMsg:hello"}),
                              30000);
}

void TestWebPages::foreignTokenGetsTheLoginNotice()
{
    QWebEngineView view;
    for (const char *page : {"upload", "buy"}) {
        for (const QString &token : {QString("0123456789abcdef"), QString()}) {
            view.load(QUrl(m_url + "/pc-vue/#/" + QLatin1String(page) + "?token=" + token));
            QVERIFY(waitJs(&view, "!!document.querySelector('#loginNotice')"));
            QCOMPARE(runJs(&view, "document.querySelectorAll('#phoneList, #phones, .plan').length").toInt(),
                     0);
            view.load(QUrl("about:blank"));
            QVERIFY(waitJs(&view, "location.href === 'about:blank'"));
        }
    }
}

void TestWebPages::requestParser()
{
    WebUploadRequest parsed;
    QString why;
    QVERIFY(parseWebUploadRequest(request("cb", 1, "http://h/a.apk", {"P1", "P2"}).toUtf8(), parsed, &why));
    QCOMPARE(parsed.callback, QString("cb"));
    QVERIFY(parsed.install);
    QCOMPARE(parsed.deviceIds, (QStringList{"P1", "P2"}));
    QVERIFY(parseWebUploadRequest(request("cb", 2, "http://h/a.apk", {}).toUtf8(), parsed, &why));
    QVERIFY(!parsed.install);
    QVERIFY(parsed.deviceIds.isEmpty());
    // Both sides of each limit, in bytes: a callback of 42 three-byte characters fits, 43 do not.
    QVERIFY(parseWebUploadRequest(request(QString(42, QChar(0x4E2D)), 1, "u", {"P"}).toUtf8(), parsed, &why));
    QVERIFY(
        !parseWebUploadRequest(request(QString(43, QChar(0x4E2D)), 1, "u", {"P"}).toUtf8(), parsed, &why));
    QVERIFY(why.contains("callback"));
    QVERIFY(parseWebUploadRequest(request("c", 1, QString(1023, 'u'), {"P"}).toUtf8(), parsed, &why));
    QVERIFY(!parseWebUploadRequest(request("c", 1, QString(1024, 'u'), {"P"}).toUtf8(), parsed, &why));
    QVERIFY(parseWebUploadRequest(request("c", 1, "u", {QString(31, 'P')}).toUtf8(), parsed, &why));
    QVERIFY(!parseWebUploadRequest(request("c", 1, "u", {QString(32, 'P')}).toUtf8(), parsed, &why));
    // A zero character would cut the text in its buffer and name something else.
    QVERIFY(
        !parseWebUploadRequest(request(QString("a") + QChar(0) + "b", 1, "u", {"P"}).toUtf8(), parsed, &why));
    // Any "type" but the number 1, or none, is a plain file; a refused request keeps its callback.
    QVERIFY(
        parseWebUploadRequest(R"({"callback": "t", "value": {"apkurl": "u", "type": "1"}})", parsed, &why));
    QVERIFY(!parsed.install);
    QVERIFY(parseWebUploadRequest(R"({"callback": "t", "value": {"apkurl": "u"}})", parsed, &why));
    QVERIFY(!parsed.install);
    WebUploadRequest refused;
    QVERIFY(!parseWebUploadRequest(R"({"callback": "kept", "value": {"apkurl": 1}})", refused, &why));
    QCOMPARE(refused.callback, QString("kept"));
    QStringList many;
    for (int i = 0; i <= WebUploadRequest::maxPhones; ++i)
        many.append("P");
    QVERIFY(!parseWebUploadRequest(request("c", 1, "u", many).toUtf8(), parsed, &why));
    many.removeLast();
    QVERIFY(parseWebUploadRequest(request("c", 1, "u", many).toUtf8(), parsed, &why));
}

// A reply that fills the page's buffer but for its terminator arrives whole; one byte more is dropped,
// never cut or written past the buffer.
void TestWebPages::repliesFitTheirBuffer()
{
    QSignalSpy spy(m_upload.get(), &VMUpload::msgToJs);
    const QByteArray longest(VMUpload::replyBufferSize - 1, 'r');
    QVERIFY(!VMUpload::postReply(longest + 'r'));
    QVERIFY(VMUpload::postReply(longest));
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy[0][0].toString(), QString::fromLatin1(longest));
}

int main(int argc, char *argv[])
{
    // WebEngine under test: no sandbox (CI runs as root) and software rendering on any display.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("LIBGL_ALWAYS_SOFTWARE", "1");
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    QApplication app(argc, argv);
    TestWebPages test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_webpages.moc"
