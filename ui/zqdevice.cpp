#include "ui/zqdevice.h"

#include "app/theme.h"
#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdevicerightpanel.h"

ZqDevice::ZqDevice(QWidget *parent)
    : QWidget(parent), m_leftPanel(new ZqDeviceLeftPanel(this)), m_rightPanel(new ZqDeviceRightPanel(this))
{
    setObjectName(QStringLiteral("ZqDevice"));
    resize(1068, 617);
    setWindowTitle(QStringLiteral("Form"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(theme::styled(
        QStringLiteral("QWidget#ZqDevice { background: rgb(244,247,248); font-family: \"@font\"; }")));
}

void ZqDevice::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_leftPanel->setGeometry(0, 0, leftPanelWidth, height());
    m_rightPanel->setGeometry(leftPanelWidth + 1, 0, width() - leftPanelWidth, height());
}

ZqDeviceList *ZqDevice::previewGrid() const
{
    return m_rightPanel->grid();
}

ZqDeviceMenu *ZqDevice::toolbar() const
{
    return m_rightPanel->toolbar();
}
