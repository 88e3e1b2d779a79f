#pragma once

#include "tests/support/farmharness.h"
#include "tests/support/providerprocess.h"
#include "tests/support/s3rverprocess.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

// What uploads to phones run against, each on free ports: s3rver behind the store front, a phone farm
// that fetches from the front, and a provider in development mode that grants uploads to it and
// reaches the farm's admin port. The caller points the phone library at farm.port.
class UploadStack
{
public:
    // Starts the store, the farm, then the provider; false with the reason in `error` when one does
    // not come up.
    bool start(QString *error);
    // Stops the provider and the farm; the store stops when the stack goes.
    void stop();

    ProviderProcess &provider() const { return *m_provider; }

    S3rverProcess store;
    harness::Farm farm;

private:
    QTemporaryDir m_dir; // the provider's database and log
    std::unique_ptr<ProviderProcess> m_provider;
};
