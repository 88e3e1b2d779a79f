// The requests of a request connection: checked, then carried out on the
// phone at once, or rendered on the pool, or downloaded.

#include "server/phonefarm/gateway.h"

#include "server/phonefarm/screen.h"
#include "wire/codes.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QUrl>

namespace farm {

namespace {

constexpr int kMaxBusyPerConnection = 512;
constexpr qint64 kMaxDownloadBytes = 64 * 1024 * 1024;
constexpr int kDownloadTimeoutMs = 100000;

int previewWidth(int sizeCode)
{
    switch (sizeCode) {
    case CC_PREVIEW_LARGE:
        return CC_PREVIEW_LARGE_WIDTH;
    case CC_PREVIEW_MEDIUM:
        return CC_PREVIEW_MEDIUM_WIDTH;
    case CC_PREVIEW_SMALL:
        return CC_PREVIEW_SMALL_WIDTH;
    default:
        return 0;
    }
}

// Requests a view-only credential may make: nothing that changes the phone.
bool allowedViewOnly(ccwire::Op op)
{
    return op == ccwire::Op::Preview || op == ccwire::Op::Screencap || op == ccwire::Op::Packages;
}

// The name a downloaded file is stored under: the URL's last path segment,
// without anything that could leave the download folder.
QString downloadName(const QUrl &url)
{
    static const QRegularExpression unsafe(QStringLiteral("[/\\\\\\x00-\\x1f\\x7f:*?\"<>|]"));
    QString name = url.fileName(QUrl::FullyDecoded).replace(unsafe, QStringLiteral("_")).left(120);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("download.bin");
    return name;
}

} // namespace

bool Connection::handleRequest(const ccwire::Request &request)
{
    Farm *farm = gateway_->farm();
    bool viewOnly = false;
    int code = 0;
    const auto phone = farm->open(request.credential, request.deviceId, &viewOnly, &code);
    if (!phone) {
        reply(request.id, code, {});
        return false;
    }
    carryOut(request, phone, viewOnly);
    return true;
}

void Connection::carryOut(const ccwire::Request &request, const std::shared_ptr<Phone> &phone, bool viewOnly)
{
    const qint64 now = monotonicMs();
    if (phone->status(now) != 1)
        return reply(request.id, CC_ERR_REBOOTING, {});
    if (viewOnly && !allowedViewOnly(request.op))
        return reply(request.id, CC_ERR_VIEW_ONLY, {});

    QByteArray answer;
    switch (request.op) {
    case ccwire::Op::Preview:
    case ccwire::Op::Screencap:
        if (busy_ >= kMaxBusyPerConnection)
            return reply(request.id, CC_ERR_BUSY, {});
        return renderAsync(request.id, phone, request.op, request.payload, request.credential);
    case ccwire::Op::Transfer:
        if (busy_ >= kMaxBusyPerConnection)
            return reply(request.id, CC_ERR_BUSY, {});
        return startTransfer(request.id, phone, request.payload);
    case ccwire::Op::Key: {
        ccwire::KeyEvent key;
        if (!ccwire::parseKeyPayload(request.payload, &key))
            return reply(request.id, CC_ERR_BAD_ARGUMENT, {});
        return reply(request.id, phone->key(key, now), {});
    }
    case ccwire::Op::FunctionKey: {
        qint32 key = 0;
        if (!ccwire::parseInt32Payload(request.payload, &key))
            return reply(request.id, CC_ERR_BAD_ARGUMENT, {});
        return reply(request.id, phone->functionKey(key, now), {});
    }
    case ccwire::Op::Text:
        if (request.payload.size() > CC_MAX_TEXT_BYTES)
            return reply(request.id, CC_ERR_BAD_ARGUMENT, {});
        return reply(request.id, phone->text(request.payload, now), {});
    case ccwire::Op::TouchUpDown:
    case ccwire::Op::TouchMove: {
        ccwire::Touch touch;
        const bool move = request.op == ccwire::Op::TouchMove;
        if (!ccwire::parseTouchPayload(request.payload, &touch) ||
            (touch.action == ccwire::TouchAction::Move) != move)
            return reply(request.id, CC_ERR_BAD_ARGUMENT, {});
        return reply(request.id, phone->touch(touch, now), {});
    }
    case ccwire::Op::Shell: {
        if (request.payload.size() > CC_MAX_COMMAND_BYTES)
            return reply(request.id, CC_ERR_BAD_ARGUMENT, {});
        const int result = phone->shell(request.payload, now, &answer);
        return reply(request.id, result, answer);
    }
    case ccwire::Op::Packages:
        return reply(request.id, 0, phone->packageList());
    case ccwire::Op::UserLogin: {
        const int result = phone->login(request.payload, &answer);
        return reply(request.id, result, answer);
    }
    }
    reply(request.id, CC_ERR_BAD_ARGUMENT, {});
}

void Connection::renderAsync(quint32 id, const std::shared_ptr<Phone> &phone, ccwire::Op op,
                             const QByteArray &payload, const QByteArray &owner)
{
    qint32 quality = 0, sizeCode = 0;
    int width = 0;
    if (op == ccwire::Op::Preview) {
        if (!ccwire::parsePreviewPayload(payload, &quality, &sizeCode) || quality < 1 || quality > 100 ||
            previewWidth(sizeCode) == 0)
            return reply(id, CC_ERR_BAD_ARGUMENT, {});
        width = previewWidth(sizeCode);
    } else if (!payload.isEmpty()) {
        return reply(id, CC_ERR_BAD_ARGUMENT, {});
    }
    ++busy_;
    const qint64 now = monotonicMs();
    PhoneState state = phone->snapshot(now);
    QPointer<Connection> self(this);
    Gateway *gateway = gateway_;
    auto render = [gateway, self, id, state = std::move(state), now, width, quality] {
        const QSize screen = state.screenSize();
        QByteArray bytes;
        if (width > 0) {
            const QSize size(width, width * screen.height() / screen.width());
            bytes = encodeImage(renderScreen(state, now, size), "jpeg", quality);
        } else {
            bytes = encodeImage(renderScreen(state, now, screen), "png", -1);
        }
        // The connection is only looked at on its own thread.
        gateway->mainQueue()->post([self, id, bytes] {
            if (!self)
                return;
            --self->busy_;
            self->reply(id, bytes.isEmpty() ? CC_ERR_INTERNAL : 0, bytes);
        });
    };
    gateway_->pool()->submit(owner, live_, std::move(render));
}

void Connection::startTransfer(quint32 id, const std::shared_ptr<Phone> &phone, const QByteArray &payload)
{
    bool install = false;
    QByteArray urlText;
    if (!ccwire::parseTransferPayload(payload, &install, &urlText))
        return reply(id, CC_ERR_BAD_ARGUMENT, {});
    QUrl url(QString::fromUtf8(urlText), QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) ||
        url.host().isEmpty())
        return reply(id, CC_ERR_BAD_ARGUMENT, {});
    const QUrl &store = gateway_->farm()->options().storeUrl;
    if (url.scheme() != store.scheme() || url.host() != store.host() ||
        url.port(url.scheme() == QLatin1String("https") ? 443 : 80) !=
            store.port(store.scheme() == QLatin1String("https") ? 443 : 80))
        return reply(id, CC_ERR_BAD_ARGUMENT,
                     QStringLiteral("refused: files come only from %1").arg(store.toString()).toUtf8());
    // The sender names the file's SHA-256 after the address ("#sha256=<hex>"); the fragment never
    // travels to the store.
    const QString fragment = url.fragment(QUrl::FullyDecoded);
    static const QRegularExpression digestForm(QStringLiteral("^sha256=([0-9a-f]{64})$"));
    const QRegularExpressionMatch digestMatch = digestForm.match(fragment);
    if (!digestMatch.hasMatch())
        return reply(id, CC_ERR_BAD_ARGUMENT,
                     QByteArrayLiteral("refused: the address names no sha256 digest"));
    const QByteArray digest = digestMatch.captured(1).toLatin1();
    url.setFragment(QString());
    const QString name = downloadName(url);
    if (install && !name.endsWith(QLatin1String(".apk"), Qt::CaseInsensitive))
        return reply(id, CC_ERR_INSTALL_FAILED,
                     QStringLiteral("INSTALL_FAILED_INVALID_APK: %1 is not an .apk file").arg(name).toUtf8());
    ++busy_;
    QNetworkRequest request(url);
    request.setTransferTimeout(kDownloadTimeoutMs);
    // A redirect could lead anywhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = gateway_->network()->get(request);
    reply->setParent(this); // a closed connection aborts its downloads
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxDownloadBytes || total > kMaxDownloadBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, id, phone, install, name, digest] {
        reply->deleteLater();
        --busy_;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200) {
            const QString why = reply->error() == QNetworkReply::OperationCanceledError
                                    ? QStringLiteral("file larger than %1 bytes").arg(kMaxDownloadBytes)
                                : status != 0 && status != 200 ? QStringLiteral("HTTP %1").arg(status)
                                                               : reply->errorString();
            this->reply(id, CC_ERR_TRANSFER_FAILED, QStringLiteral("download failed: %1").arg(why).toUtf8());
            return;
        }
        const QByteArray content = reply->readAll();
        if (QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() != digest)
            return this->reply(id, CC_ERR_TRANSFER_FAILED,
                               QByteArrayLiteral("refused: the file's sha256 differs from the sender's"));
        phone->addDownload(name);
        if (!install)
            return this->reply(id, 0, name.toUtf8());
        AppInfo app;
        QString error;
        if (!parseApk(content, &app, &error))
            return this->reply(id, CC_ERR_INSTALL_FAILED, error.toUtf8());
        phone->install(app);
        this->reply(id, 0, (name + QLatin1Char('|') + app.package).toUtf8());
    });
}

} // namespace farm
