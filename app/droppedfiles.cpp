#include "app/droppedfiles.h"

#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

QStringList droppedLocalFiles(const QMimeData *mime)
{
    QStringList files;
    for (const QUrl &url : mime->urls())
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            files.append(url.toLocalFile());
    return files;
}
