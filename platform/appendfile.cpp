#include "platform/appendfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

AppendFile::AppendFile(const QString &path) : m_path(QFile::encodeName(path)) {}

AppendFile::~AppendFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool AppendFile::stillNamed() const
{
    struct stat named
    {
    };
    return ::stat(m_path.constData(), &named) == 0 && named.st_dev == m_device && named.st_ino == m_inode;
}

bool AppendFile::append(const QByteArray &data)
{
    if (m_fd >= 0 && !stillNamed()) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0) {
        m_fd = ::open(m_path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        struct stat opened
        {
        };
        if (m_fd >= 0 && ::fstat(m_fd, &opened) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd < 0)
            return false;
        m_device = opened.st_dev;
        m_inode = opened.st_ino;
    }
    const char *next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}

} // namespace platform
