#include "ui/zqdevicerightpanel.h"

#include "ui/zqdevicelist.h"
#include "ui/zqdevicemenu.h"

ZqDeviceRightPanel::ZqDeviceRightPanel(QWidget *parent)
    : QWidget(parent), m_toolbar(new ZqDeviceMenu(this)), m_grid(new ZqDeviceList(this))
{
    setObjectName(QStringLiteral("ZqDeviceRightPanel"));
    setWindowTitle(QStringLiteral("Form"));
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(248, 249, 250));
    setPalette(background);
    setAutoFillBackground(true);
    resize(771, 571);
}

void ZqDeviceRightPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_toolbar->setGeometry(0, 0, width(), toolbarHeight);
    m_grid->setGeometry(0, gridTop, width(), height() - toolbarHeight);
}
