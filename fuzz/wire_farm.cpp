// The farm's side of the wire: client frames, and every request payload
// carried out on a simulated phone the way the gateway does.

#include "server/phonefarm/catalog.h"
#include "server/phonefarm/credential.h"
#include "server/phonefarm/phone.h"
#include "wire/wire.h"

#include <cstdint>

namespace {

void carryOut(farm::Phone &phone, const ccwire::Request &request)
{
    const qint64 now = 1000;
    QByteArray out;
    farm::checkCredential("secret", request.credential, request.deviceId, 1700000000);
    switch (request.op) {
    case ccwire::Op::Preview: {
        qint32 quality, sizeCode;
        ccwire::parsePreviewPayload(request.payload, &quality, &sizeCode);
        break;
    }
    case ccwire::Op::Key: {
        ccwire::KeyEvent key;
        if (ccwire::parseKeyPayload(request.payload, &key))
            phone.key(key, now);
        break;
    }
    case ccwire::Op::FunctionKey: {
        qint32 key;
        if (ccwire::parseInt32Payload(request.payload, &key))
            phone.functionKey(key, now);
        break;
    }
    case ccwire::Op::Text:
        phone.text(request.payload, now);
        break;
    case ccwire::Op::TouchUpDown:
    case ccwire::Op::TouchMove: {
        ccwire::Touch touch;
        if (ccwire::parseTouchPayload(request.payload, &touch))
            phone.touch(touch, now);
        break;
    }
    case ccwire::Op::Shell:
        phone.shell(request.payload, now, &out);
        break;
    case ccwire::Op::Transfer: {
        bool install;
        QByteArray url;
        ccwire::parseTransferPayload(request.payload, &install, &url);
        farm::AppInfo app;
        QString error;
        // The downloaded file is outside input too.
        if (farm::parseApk(request.payload, &app, &error))
            phone.install(app);
        break;
    }
    case ccwire::Op::UserLogin:
        phone.login(request.payload, &out);
        break;
    case ccwire::Op::Screencap:
    case ccwire::Op::Packages:
        phone.packageList();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    farm::Phone phone(QStringLiteral("PMFUZZ0001"));
    // The gateway's own read loop, on the input cut in two where its first byte says.
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const int cut = size ? data[0] % int(size + 1) : 0;
    ccwire::FrameReader reader(ccwire::kMaxClientFrame);
    bool failed = false;
    for (const QByteArray &piece : {bytes.left(cut), bytes.mid(cut)}) {
        if (failed)
            break;
        reader.feed(
            piece,
            [&phone](ccwire::Message &message) {
                if (auto *request = std::get_if<ccwire::Request>(&message)) {
                    carryOut(phone, *request);
                } else if (auto *input = std::get_if<ccwire::Input>(&message)) {
                    ccwire::Touch touch;
                    if (ccwire::parseTouchPayload(input->payload, &touch))
                        phone.touch(touch, 1000);
                }
                return true;
            },
            [&failed](const QString &) { failed = true; });
    }
    return 0;
}
