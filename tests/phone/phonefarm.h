#pragma once

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

// The real phone farm, started on a free port for one test run.
class PhoneFarm
{
public:
    static constexpr const char *secret = "phone-test-secret";

    ~PhoneFarm();
    // Starts $PELOMIR_BIN_DIR/pelomir-phonefarm and points the phone library at it.
    bool start(QString *error);

    // A credential the farm accepts for `deviceId` for the next hour; `forDevice` signs it for
    // another id (so the farm refuses it). `farmSecret` is the one the farm was started with.
    static QByteArray credential(const QByteArray &deviceId, bool restricted = false,
                                 const QByteArray &forDevice = QByteArray(),
                                 const QByteArray &farmSecret = secret);

private:
    // Linux: the farm is killed with the test process, also when a test crashes.
    class FarmProcess : public QProcess
    {
    protected:
        void setupChildProcess() override;
    };
    FarmProcess m_process;
};

// One answer of the phone library, waited for on the calling thread (at most 20 s).
struct LibraryAnswer
{
    int code = CC_ERR_TIMEOUT;
    QByteArray data;
};

LibraryAnswer runShell(const QByteArray &deviceId, const QByteArray &credential, const QByteArray &command);
LibraryAnswer installedPackages(const QByteArray &deviceId, const QByteArray &credential);
// The package shown in front ("com.pmapps.launcher" on the home screen), from a view dump.
QString foregroundPackage(const QByteArray &deviceId, const QByteArray &credential);
