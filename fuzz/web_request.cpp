// What the upload page hands the client through the web channel: any text. A parsed request must
// keep every text within the buffer it will be copied into.

#include "transfer/webrequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    WebUploadRequest request;
    QString why;
    if (!parseWebUploadRequest(QByteArray(reinterpret_cast<const char *>(data), int(size)), request, &why))
        return 0;
    if (request.callback.toUtf8().size() > WebUploadRequest::maxCallbackBytes ||
        request.apkurl.toUtf8().size() > WebUploadRequest::maxUrlBytes ||
        request.deviceIds.size() > WebUploadRequest::maxPhones)
        std::abort();
    for (const QString &id : request.deviceIds)
        if (id.toUtf8().size() > WebUploadRequest::maxDeviceIdBytes)
            std::abort();
    return 0;
}
