// The provider's answers: the group list with its encrypted credentials, and
// the login answer with the session and the user.

#include "api/userinfo.h"
#include "app/zqconfig.h"
#include "app/zqslotmsg.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const ZqConfig cipher;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    QList<groupRecord> groups;
    userInfo::parseGroupList(text, cipher, &groups);
    sessionRecord session;
    userDetailRecord detail;
    userInfo::parseLogin(textToJson(text), &session, &detail);
    return 0;
}
