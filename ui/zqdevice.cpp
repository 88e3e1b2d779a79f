#include "ui/zqdevice.h"

#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdevicelist.h"

ZqDevice::ZqDevice(QWidget *parent) : QWidget(parent), m_leftPanel(new ZqDeviceLeftPanel(this))
{
    setObjectName(QStringLiteral("ZqDevice"));
    m_grid = new ZqDeviceList(this);
    resize(1068, 617);
    setWindowTitle(QStringLiteral("Form"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral(
        "QWidget#ZqDevice { background: rgb(244,247,248); font-family: \"Microsoft YaHei\"; }"));
}

void ZqDevice::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_leftPanel->setGeometry(0, 0, leftPanelWidth, height());
    m_grid->setGeometry(leftPanelWidth + 1, 0, width() - leftPanelWidth, height());
}
