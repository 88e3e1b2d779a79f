#include "ui/inputtrace.h"

#include "platform/tsan.h"

#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QWidget>

namespace {

QString describe(const QObject *object)
{
    if (!object)
        return QStringLiteral("none");
    // Qt's own inner widgets (a spin box's line edit) are named after the widget that holds them.
    if (object->objectName().startsWith(QLatin1String("qt_")) && object->parent())
        object = object->parent();
    const QString name = object->objectName();
    return name.isEmpty() ? QString::fromLatin1(object->metaObject()->className()) : name;
}

class WindowShowTrace : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Events posted from other threads (the bus's) reach this filter before their receiver, which
        // takes them over the same way.
        PELOMIR_TAKE_OVER(event);
        const QEvent::Type type = event->type();
        if ((type == QEvent::Show || type == QEvent::Hide) && watched->isWidgetType()) {
            const auto *widget = static_cast<QWidget *>(watched);
            if (widget->isWindow())
                qDebug().noquote() << (type == QEvent::Show ? QStringLiteral("window shown:")
                                                            : QStringLiteral("window hidden:"))
                                   << widget->metaObject()->className() << describe(widget)
                                   << widget->windowTitle();
        }
        return false;
    }
};

} // namespace

void installInputTrace(QApplication *app)
{
    QObject::connect(app, &QApplication::focusChanged, app, [](QWidget *, QWidget *now) {
        qDebug().noquote() << QStringLiteral("focus:") << describe(now);
    });
    app->installEventFilter(new WindowShowTrace(app));
}
