// Dialog requests: the JSON text a bus message asks the dialog to show.

#include "ui/zqdialogform.h"

#include <QApplication>

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ZqDialogForm *form = new ZqDialogForm;
    form->setDialogData(QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
