#pragma once

#include <QWidget>

class ZqDeviceLeftPanel;

// The device page, shown in the content frame once the user has logged in: the device tree on the left.
// GUI thread only.
class ZqDevice : public QWidget
{
    Q_OBJECT

public:
    static constexpr int leftPanelWidth = 400;

    explicit ZqDevice(QWidget *parent = nullptr);

    ZqDeviceLeftPanel *leftPanel() const { return m_leftPanel; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    ZqDeviceLeftPanel *m_leftPanel;
};
