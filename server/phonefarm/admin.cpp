#include "server/phonefarm/admin.h"

#include "wire/wire.h"

#include <httplib.h>

#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>

namespace farm {

namespace {

constexpr qint64 kMaxSkewSeconds = 300;
constexpr int kMaxStatusIds = 1000;

void sendJson(httplib::Response &res, int status, const QJsonObject &body)
{
    res.status = status;
    res.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

void sendError(httplib::Response &res, int status, const QString &message)
{
    sendJson(res, status, {{QStringLiteral("ok"), false}, {QStringLiteral("error"), message}});
}

} // namespace

bool adminSignatureValid(const QByteArray &secret, const QByteArray &method, const QByteArray &target,
                         const QByteArray &timeHeader, const QByteArray &authHeader, qint64 nowSeconds)
{
    bool ok = false;
    const qint64 time = timeHeader.toLongLong(&ok);
    if (!ok || qAbs(nowSeconds - time) > kMaxSkewSeconds)
        return false;
    const QByteArray expected = hmacHex(secret, method + ' ' + target + ' ' + timeHeader);
    return constantTimeEquals(expected, authHeader.toLower());
}

AdminServer::AdminServer(Farm *farm) : farm_(farm), server_(std::make_unique<httplib::Server>()) {}

AdminServer::~AdminServer()
{
    stop();
}

bool AdminServer::start(const QString &host, int port)
{
    Farm *farm = farm_;
    // Every request is signed; an unsigned or stale one is refused before routing.
    server_->set_pre_routing_handler([farm](const httplib::Request &req, httplib::Response &res) {
        // Signers sign the target as they wrote it, and HTTP clients may
        // percent-encode it on the way (the "," of an id list): either form is
        // accepted, since both name the same request.
        const QByteArray target = QByteArray::fromStdString(req.target.empty() ? req.path : req.target);
        const QByteArray method = QByteArray::fromStdString(req.method);
        const QByteArray time = QByteArray::fromStdString(req.get_header_value("X-Farm-Time"));
        const QByteArray auth = QByteArray::fromStdString(req.get_header_value("X-Farm-Auth"));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QByteArray &secret = farm->options().secret;
        if (!adminSignatureValid(secret, method, target, time, auth, now) &&
            !adminSignatureValid(secret, method, QByteArray::fromPercentEncoding(target), time, auth, now)) {
            sendError(res, 401, QStringLiteral("bad or missing signature"));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    const std::string phonePath =
        "/admin/phones/([A-Za-z0-9]{1," + std::to_string(ccwire::kMaxDeviceId) + "})";
    server_->Post(phonePath + "/(restart|reset)",
                  [farm](const httplib::Request &req, httplib::Response &res) {
                      const QByteArray id = QByteArray::fromStdString(req.matches[1]);
                      const bool restart = req.matches[2] == "restart";
                      const bool done = restart ? farm->restart(id) : farm->reset(id);
                      if (!done)
                          return sendError(res, 503, QStringLiteral("the farm is full"));
                      qInfo("admin: %s %s", restart ? "restart" : "reset", id.constData());
                      sendJson(res, 200, {{QStringLiteral("ok"), true}});
                  });
    // Voids the phone's older credentials, or with no generation all of them.
    server_->Post(phonePath + "/retire", [farm](const httplib::Request &req, httplib::Response &res) {
        const QByteArray id = QByteArray::fromStdString(req.matches[1]);
        qint64 generation = Farm::kRetireAll;
        if (req.has_param("generation")) {
            bool ok = false;
            const QByteArray text = QByteArray::fromStdString(req.get_param_value("generation"));
            generation = text.toLongLong(&ok);
            if (!ok || generation < 1 || text.startsWith('+'))
                return sendError(res, 400, QStringLiteral("generation must be a whole number from 1"));
        }
        farm->retire(id, generation);
        if (generation == Farm::kRetireAll)
            qInfo("admin: retire %s", id.constData());
        else
            qInfo("admin: retire %s below generation %lld", id.constData(), generation);
        sendJson(res, 200, {{QStringLiteral("ok"), true}});
    });
    server_->Get("/admin/status", [farm](const httplib::Request &req, httplib::Response &res) {
        const QList<QByteArray> ids = QByteArray::fromStdString(req.get_param_value("ids")).split(',');
        if (ids.size() > kMaxStatusIds)
            return sendError(res, 400, QStringLiteral("at most %1 ids").arg(kMaxStatusIds));
        QJsonObject answer;
        for (const QByteArray &id : ids) {
            if (isValidDeviceId(id))
                answer.insert(QString::fromLatin1(id), farm->status(id));
        }
        sendJson(res, 200, answer);
    });
    // Test mode: a picture the farm drew for a display, by its frame's sequence number.
    server_->Get(R"(/admin/phones/([A-Za-z0-9]{1,31})/frames/([0-9]{1,10}))",
                 [farm](const httplib::Request &req, httplib::Response &res) {
                     const KeptFrames *kept = farm->keptFrames();
                     if (!kept)
                         return sendError(res, 404, QStringLiteral("source frames are not kept"));
                     bool ok = false;
                     const quint32 seq = QByteArray::fromStdString(req.matches[2]).toUInt(&ok);
                     const QImage picture =
                         ok ? kept->find(QByteArray::fromStdString(req.matches[1]), seq) : QImage();
                     if (picture.isNull())
                         return sendError(res, 404, QStringLiteral("no such frame"));
                     QByteArray png;
                     QBuffer buffer(&png);
                     buffer.open(QIODevice::WriteOnly);
                     picture.save(&buffer, "PNG");
                     res.status = 200;
                     res.set_content(png.toStdString(), "image/png");
                 });
    server_->set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            sendError(res, res.status, QStringLiteral("no such endpoint"));
    });
    port_ = port == 0 ? server_->bind_to_any_port(host.toStdString())
                      : (server_->bind_to_port(host.toStdString(), port) ? port : -1);
    if (port_ <= 0)
        return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void AdminServer::stop()
{
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

} // namespace farm
