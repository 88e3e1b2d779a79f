#pragma once

#include <QStringList>

class QMimeData;

// GUI thread. The local files among dropped items; folders and remote addresses are left out. Used by
// every widget that takes files dropped on it for upload.
QStringList droppedLocalFiles(const QMimeData *mime);
