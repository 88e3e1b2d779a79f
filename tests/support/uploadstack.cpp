#include "tests/support/uploadstack.h"

bool UploadStack::start(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder for the provider");
        return false;
    }
    if (!store.start()) {
        *error = store.error();
        return false;
    }
    if (!farm.start({"--store", store.endpoint()})) {
        *error = QStringLiteral("pelomir-phonefarm did not start");
        return false;
    }
    m_provider = std::make_unique<ProviderProcess>(
        m_dir.filePath("provider.db"),
        QStringList{"--dev", "--store-bucket", store.bucket(), "--store-url", store.endpoint(), "--farm",
                    QString("http://127.0.0.1:%1").arg(farm.adminPort)});
    return m_provider->start(error);
}

void UploadStack::stop()
{
    if (m_provider)
        m_provider->terminate();
    farm.stop();
}
