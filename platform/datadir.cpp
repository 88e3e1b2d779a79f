#include "platform/datadir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace platform {

QString dataDirectoryFromTempPath(const QString &tempPath)
{
    QString path = tempPath;
    path.replace(QStringLiteral("Temp"), QStringLiteral("pelomir"), Qt::CaseSensitive);
    while (path.size() > 1 && (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'))))
        path.chop(1);
    return path;
}

QString dataDirectoryPath()
{
#ifdef Q_OS_WIN
    return dataDirectoryFromTempPath(QDir::tempPath());
#else
    QString root = qEnvironmentVariable("XDG_DATA_HOME");
    if (root.isEmpty() || QDir::isRelativePath(root))
        root = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(root + QStringLiteral("/pelomir"));
#endif
}

bool createDataDirectory(const QString &path)
{
    if (QFileInfo(path).isDir())
        return true;
    // The parent (~/.local/share) may be missing on a fresh account.
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(parent))
        return false;
    if (!QDir().mkdir(path))
        return QFileInfo(path).isDir();
    // The directory holds the stored password and screenshots: owner only.
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace platform
