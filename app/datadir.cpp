#include "app/datadir.h"

#include "platform/datadir.h"

QString dataDirectory()
{
    const QString path = platform::dataDirectoryPath();
    platform::createDataDirectory(path);
    return path;
}
