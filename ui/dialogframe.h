#pragma once

#include <QString>
#include <QStringList>

class QDialog;
class QLabel;
class QPushButton;
class QRect;
class QWidget;

// The look the frameless dialogs share: a white body in an accent frame, an accent title bar across
// the top that moves the dialog when dragged, with the title on the left and a close button on the
// right, and flat accent push buttons. GUI thread only.
namespace dialogframe {

struct TitleBar
{
    QWidget *bar;       // "wTitle"
    QLabel *title;      // "lblTitle"
    QPushButton *close; // "btnClose"
};

// A push button with a pointing-hand cursor; `name` addresses it in style sheets and slot names.
QPushButton *button(QWidget *parent, const char *name, const QString &text, const QRect &geometry);

// Builds the title bar across the top of `dialog`, which is `width` wide.
TitleBar addTitleBar(QDialog *dialog, const QString &title, int width);

// Makes `dialog` frameless and deleted when closed, styled as the objects of `dialogClass` with
// accent push buttons named in `accentButtons`, followed by the dialog's own `rules`.
void makeFrameless(QDialog *dialog, const char *dialogClass, const QStringList &accentButtons,
                   const char *rules);

} // namespace dialogframe
