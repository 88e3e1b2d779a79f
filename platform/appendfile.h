#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace platform {

// A file that text is appended to and that stays open between appends. Each append first checks that
// the path still names the open file and reopens it (creating it) when the file was removed or
// replaced, so deleting or rotating it behaves as if it were opened for every append. Not
// thread-safe: its owner serialises the calls.
class AppendFile
{
public:
    explicit AppendFile(const QString &path);
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Writes all of `data` at the end of the file with no buffer in this process, so a crash right
    // after loses none of it. False when the file cannot be opened or written.
    bool append(const QByteArray &data);

private:
    bool stillNamed() const;

    const QByteArray m_path;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace platform
