// pelomir-phoneshell DEVICEID COMMAND: runs a shell command on a phone of the stack's farm and
// prints its output, so that a script can read a phone's screen with "uiautomator dump". The
// credential is signed with the farm's development secret ($PELOMIR_FARM_SECRET overrides it).
#include "tests/phone/phonefarm.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: pelomir-phoneshell DEVICEID COMMAND\n");
        return 2;
    }
    const QByteArray secret = qEnvironmentVariableIsSet("PELOMIR_FARM_SECRET")
                                  ? qgetenv("PELOMIR_FARM_SECRET")
                                  : QByteArray("pelomir-dev-farm-secret");
    const QByteArray deviceId(argv[1]);
    const LibraryAnswer answer =
        runShell(deviceId, PhoneFarm::credential(deviceId, false, {}, secret), argv[2]);
    std::fwrite(answer.data.constData(), 1, size_t(answer.data.size()), stdout);
    cc_core_uninit();
    return answer.code >= 0 ? 0 : 1;
}
