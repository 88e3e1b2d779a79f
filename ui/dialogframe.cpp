#include "ui/dialogframe.h"

#include "app/theme.h"
#include "ui/titledrag.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace dialogframe {

namespace {

const char *const frameStyle = R"(
%1 { background: white; border: 1px solid @accent; }
QWidget#wTitle { background: @accent; }
QLabel { font-family: "@font"; font-size: 14px; }
QLabel#lblTitle { color: white; }
QPushButton#btnClose { border: none; background: transparent; image: url(:/image/image/close_min.png); }
QPushButton#btnClose:hover { background: #53e2ee; }
%2 {
  font-family: "@font"; font-size: 12px; color: white;
  background: @accent; border: none; border-radius: 4px; }
%3 { background: #53e2ee; }
)";

} // namespace

QPushButton *button(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

TitleBar addTitleBar(QDialog *dialog, const QString &title, int width)
{
    auto *bar = new QWidget(dialog);
    bar->setObjectName(QStringLiteral("wTitle"));
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setGeometry(1, 1, width - 2, 38);
    auto *label = new QLabel(title, bar);
    label->setObjectName(QStringLiteral("lblTitle"));
    label->setGeometry(16, 5, 200, 28);
    QPushButton *close = button(bar, "btnClose", QString(), QRect(width - 42, 5, 28, 28));
    new TitleDrag(dialog, bar);
    return {bar, label, close};
}

void makeFrameless(QDialog *dialog, const char *dialogClass, const QStringList &accentButtons,
                   const char *rules)
{
    QStringList plain, hovered;
    for (const QString &name : accentButtons) {
        plain << QStringLiteral("QPushButton#") + name;
        hovered << QStringLiteral("QPushButton#") + name + QStringLiteral(":hover");
    }
    dialog->setStyleSheet(theme::styled(QString::fromLatin1(frameStyle)
                                            .arg(QLatin1String(dialogClass), plain.join(QStringLiteral(", ")),
                                                 hovered.join(QStringLiteral(", "))) +
                                        QString::fromUtf8(rules)));
    dialog->setAttribute(Qt::WA_StyledBackground);
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
}

} // namespace dialogframe
