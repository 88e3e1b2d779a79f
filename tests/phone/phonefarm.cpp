#include "tests/phone/phonefarm.h"

#include <QRegularExpression>

#include <chrono>
#include <future>

bool PhoneFarm::start(QString *error, const QStringList &extra, const QString &logPath)
{
    if (!harness::Farm::start(extra, logPath)) {
        *error = QStringLiteral("the phone farm did not start in ") + harness::binDir();
        return false;
    }
    cc_core_set_gateway("127.0.0.1", port);
    return true;
}

namespace {

// Library thread: hands the answer to the waiting test; the promise goes with it.
void deliver(SdkSession *session, int, int code, const void *data, int length)
{
    auto *promise = static_cast<std::promise<LibraryAnswer> *>(session->extra);
    promise->set_value(
        {code, data && length > 0 ? QByteArray(static_cast<const char *>(data), length) : QByteArray()});
    delete promise;
}

template <class Send> LibraryAnswer ask(const QByteArray &deviceId, const QByteArray &credential, Send send)
{
    auto *promise = new std::promise<LibraryAnswer>;
    std::future<LibraryAnswer> answer = promise->get_future();
    SdkSession session{credential.constData(), deviceId.constData(), promise};
    send(&session);
    if (answer.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        return {};
    return answer.get();
}

} // namespace

LibraryAnswer runShell(const QByteArray &deviceId, const QByteArray &credential, const QByteArray &command)
{
    return ask(deviceId, credential, [&](SdkSession *session) {
        cc_core_send_adb_command_msg_tob(session, command.constData(), &deliver, 0);
    });
}

LibraryAnswer installedPackages(const QByteArray &deviceId, const QByteArray &credential)
{
    return ask(deviceId, credential,
               [](SdkSession *session) { cc_core_send_get_installed_package_msg_tob(session, &deliver); });
}

QString foregroundPackage(const QByteArray &deviceId, const QByteArray &credential)
{
    const LibraryAnswer dump = runShell(deviceId, credential, "uiautomator dump");
    static const QRegularExpression front(QStringLiteral("<hierarchy[^>]*><node [^>]*package=\"([^\"]*)\""));
    return front.match(QString::fromUtf8(dump.data)).captured(1);
}
