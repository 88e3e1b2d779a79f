#include "tests/phone/phonefarm.h"

#include <QDateTime>
#include <QRegularExpression>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <csignal>
#include <future>
#include <sys/prctl.h>

void PhoneFarm::FarmProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

PhoneFarm::~PhoneFarm()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool PhoneFarm::start(QString *error)
{
    m_process.setProgram(qEnvironmentVariable("PELOMIR_BIN_DIR") + QStringLiteral("/pelomir-phonefarm"));
    m_process.setArguments({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--admin-listen"), QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--secret"), QString::fromLatin1(secret)});
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    const QRegularExpression gateway(QStringLiteral("^gateway on ([0-9.]+):([0-9]+)"));
    while (m_process.waitForReadyRead(15000) || m_process.canReadLine()) {
        while (m_process.canReadLine()) {
            const QRegularExpressionMatch match = gateway.match(QString::fromLatin1(m_process.readLine()));
            if (match.hasMatch()) {
                cc_core_set_gateway(match.captured(1).toLatin1().constData(), match.captured(2).toInt());
                return true;
            }
        }
    }
    *error = QStringLiteral("the phone farm did not start: ") + m_process.errorString();
    return false;
}

QByteArray PhoneFarm::credential(const QByteArray &deviceId, bool restricted, const QByteArray &forDevice,
                                 const QByteArray &farmSecret)
{
    const QByteArray expiry = QByteArray::number(QDateTime::currentSecsSinceEpoch() + 3600);
    const QByteArray flag = restricted ? "1" : "0";
    const QByteArray signedId = forDevice.isEmpty() ? deviceId : forDevice;
    const QByteArray message = "ucv1|" + signedId + "|" + expiry + "|" + flag;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLength = 0;
    HMAC(EVP_sha256(), farmSecret.constData(), farmSecret.size(),
         reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()), mac,
         &macLength);
    return "ucv1." + expiry + "." + flag + "." +
           QByteArray(reinterpret_cast<const char *>(mac), int(macLength)).toHex();
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
