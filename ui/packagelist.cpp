#include "ui/packagelist.h"

#include <QDebug>
#include <QStringList>
#include <QVector>

QVector<InstalledPackage> parsePackageList(const QString &list)
{
    QVector<InstalledPackage> packages;
    for (const QStringRef &entry : list.splitRef(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QVector<QStringRef> fields = entry.split(QLatin1Char('|'), Qt::SkipEmptyParts);
        if (fields.size() != 3)
            continue;
        if (packages.size() == maxPackages) {
            qDebug() << "package list cut at" << maxPackages << "entries";
            break;
        }
        packages.append({fields.at(1).toString(), fields.at(2).toString()});
    }
    return packages;
}
