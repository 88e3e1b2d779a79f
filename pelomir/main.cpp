// The entry function: starts the bus dispatcher, prepares the data directory and runs the main window.
#include "app/datadir.h"
#include "app/globals.h"
#include "app/logging.h"
#include "app/messages.h"
#include "platform/displayloss.h"
#include "platform/termination.h"
#include "ui/inputtrace.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>

namespace {

// Empties the files of the upload scratch directory; its sub-directories stay.
void cleanUploadScratch(const QString &path)
{
    QDir dir(path);
    if (!dir.exists()) {
        QDir().mkdir(path);
        return;
    }
    const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.isFile() || entry.isSymLink())
            QFile::remove(entry.filePath());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    g_threadPool.commit([] { g_eventManager.run(); });

    const QString data = dataDirectory();
    cleanUploadScratch(data + QStringLiteral("/ObjUpload"));
    QDir().mkdir(data + QStringLiteral("/screenshot"));
    installLogIfPresent(logFilePath);

    int result = 0;
    {
        // The embedded web pages share their GL contexts with the widgets; it must be set before the
        // application exists.
        QApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
        QApplication app(argc, argv);
        QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings, true);
        // A session logout or `kill` closes the program the way its close button does.
        platform::quitOnTerminationSignal(&app, [] { post(Msg::exitProgram); });
        platform::endAtOnceWhenDisplayLost();
        installInputTrace(&app);

        auto window = std::make_unique<MainWindow>();
        window->setWindowTitle(QStringLiteral("Pelomir云手机"));
        window->show();
        result = app.exec();
        window.reset();
    }
    return result;
}
