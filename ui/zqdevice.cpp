#include "ui/zqdevice.h"

ZqDevice::ZqDevice(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ZqDevice"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral(
        "QWidget#ZqDevice { background: rgb(244,247,248); font-family: \"Microsoft YaHei\"; }"));
}
