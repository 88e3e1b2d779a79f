#pragma once

#include <QString>
#include <QVector>

// The installed-package list a phone answers with (Msg::installedPackages): entries separated by ",", each
// "first|package|name" with the first field unused. It comes from the phone, so it is read as
// untrusted text.
struct InstalledPackage
{
    QString packageName;
    QString appName;
};

// Every entry that splits into exactly three non-empty fields, in order, at most `maxPackages` of
// them: the dialog makes one row per entry, and a phone that answers with millions must not freeze it.
QVector<InstalledPackage> parsePackageList(const QString &list);

constexpr int maxPackages = 2000;
