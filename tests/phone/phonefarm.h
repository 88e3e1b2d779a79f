#pragma once

#include "coreclient/core_client.h"
#include "tests/support/farmharness.h"

#include <QByteArray>
#include <QString>

// The shared farm harness with the phone library pointed at its gateway.
class PhoneFarm : public harness::Farm
{
public:
    // `extra` arguments for the farm; with `logPath` its log goes to that file.
    bool start(QString *error, const QStringList &extra = {}, const QString &logPath = {});

    // A credential the farm accepts for `deviceId` for a day; `forDevice` signs it for another id
    // (so the farm refuses it). `farmSecret` is the one the farm was started with.
    static QByteArray credential(const QByteArray &deviceId, bool restricted = false,
                                 const QByteArray &forDevice = QByteArray(),
                                 const QByteArray &farmSecret = harness::kSecret)
    {
        return harness::credential(forDevice.isEmpty() ? deviceId : forDevice, 0, restricted, farmSecret);
    }
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
