#include "platform/datadir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>

#include <cerrno>
#endif

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
    // The parent (~/.local/share) may be missing on a fresh account.
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
#ifdef Q_OS_WIN
    return QDir().mkpath(path);
#else
    // The directory holds the stored password and screenshots: owner only, from the moment it exists.
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    if (::stat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    // One left by an older run, made by hand or narrowed by the umask is set to exactly that.
    return (info.st_mode & 0777) == 0700 || ::chmod(native.constData(), 0700) == 0;
#endif
}

} // namespace platform
