// The installed-package list a phone answers with (Msg::installedPackages), as the batch app dialog reads it.

#include "ui/packagelist.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString list = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QVector<InstalledPackage> packages = parsePackageList(list);
    if (packages.size() > maxPackages)
        abort();
    // A row never carries a separator or an empty field into the dialog or the phone commands.
    for (const InstalledPackage &p : packages)
        if (p.packageName.isEmpty() || p.appName.isEmpty() || p.packageName.contains(QLatin1Char('|')) ||
            p.packageName.contains(QLatin1Char(',')) || p.appName.contains(QLatin1Char(',')))
            abort();
    return 0;
}
