#include "coreclient/log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <mutex>

namespace cc {

namespace {

constexpr qint64 kMaxLogBytes = 1024 * 1024;

std::mutex logMutex;
QFile *logFile = nullptr;

} // namespace

bool openLog(const QString &directory)
{
    std::lock_guard<std::mutex> lock(logMutex);
    if (directory.isEmpty() || !QDir().mkpath(directory))
        return false;
    auto *file = new QFile(QDir(directory).filePath(QStringLiteral("core-client.log")));
    if (!file->open(QIODevice::Append | QIODevice::WriteOnly)) {
        delete file;
        return false;
    }
    delete logFile;
    logFile = file;
    return true;
}

void closeLog()
{
    std::lock_guard<std::mutex> lock(logMutex);
    delete logFile;
    logFile = nullptr;
}

void log(const QString &line)
{
    std::lock_guard<std::mutex> lock(logMutex);
    if (!logFile)
        return;
    // Keep one previous file so the log never grows without bound.
    if (logFile->size() > kMaxLogBytes) {
        const QString path = logFile->fileName();
        logFile->close();
        QFile::remove(path + QStringLiteral(".1"));
        QFile::rename(path, path + QStringLiteral(".1"));
        if (!logFile->open(QIODevice::Append | QIODevice::WriteOnly)) {
            delete logFile;
            logFile = nullptr;
            return;
        }
    }
    const QByteArray text =
        (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) + line + '\n')
            .toUtf8();
    logFile->write(text);
    logFile->flush();
}

} // namespace cc
