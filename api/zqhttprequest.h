#pragma once

#include <QMap>
#include <QObject>
#include <QString>

class QUrlQuery;

// One synchronous request to the provider's JSON API. The caller waits in a private event loop (at most
// timeoutMs) and gets the body text, or a local failure object shaped like the service's own answers
// ({"msg":...,"status":<negative>}), so network faults and service errors take the same path.
// Stateless: create one per request on the caller's stack. Any thread with a QCoreApplication in the
// process; each call builds and destroys its own network objects, so calls on different threads never
// share anything.
class ZqHttpRequest : public QObject
{
    Q_OBJECT

public:
    static constexpr int timeoutMs = 15000;
    // Larger answers are cut off and reported as a network error, so a broken peer cannot exhaust memory.
    static constexpr qint64 maxBodyBytes = 64 * 1024 * 1024;

    // Local failure "status" values.
    static constexpr int timeoutStatus = -1;
    static constexpr int postHttpStatus = -5;
    static constexpr int postNetworkStatus = -21;
    static constexpr int getFailureStatus = -2;

    explicit ZqHttpRequest(QObject *parent = nullptr);

    // Calling thread; blocks. Form-encoded POST of `params` (map order) followed by the common query
    // items. Names and values are percent-encoded in full, so the server decodes exactly the text given.
    // A non-empty `token` travels as the raw "Authorization" header.
    QString httpPost(const QString &url, const QMap<QString, QString> &params,
                     const QString &token = QString());
    // Calling thread; blocks. GET of `url` exactly as given.
    QString httpGet(const QString &url, const QString &token = QString());

    // The common items as they are appended to GET addresses that need them.
    static QString commonQuery();
    // Appends the common items, in their fixed order, to `query`.
    static void addCommonQuery(QUrlQuery &query);
    // The POST body for `params`: each pair percent-encoded, then the common items.
    static QByteArray formBody(const QMap<QString, QString> &params);

private:
    enum class Method
    {
        Get,
        Post
    };
    QString send(Method method, const QString &url, const QByteArray &body, const QString &token);
};
