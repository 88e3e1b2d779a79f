#pragma once

#include <QWidget>

// The device page, shown in the content frame once the user has logged in. GUI thread only.
class ZqDevice : public QWidget
{
    Q_OBJECT

public:
    explicit ZqDevice(QWidget *parent = nullptr);
};
