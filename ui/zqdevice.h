#pragma once

#include <QWidget>

class ZqDeviceLeftPanel;
class ZqDeviceList;
class ZqDeviceMenu;
class ZqDeviceRightPanel;

// The device page, shown in the content frame once the user has logged in: the device tree on the left,
// the toolbar and the preview grid on the right. GUI thread only.
class ZqDevice : public QWidget
{
    Q_OBJECT

public:
    static constexpr int leftPanelWidth = 400;

    explicit ZqDevice(QWidget *parent = nullptr);

    ZqDeviceLeftPanel *leftPanel() const { return m_leftPanel; }
    ZqDeviceRightPanel *rightPanel() const { return m_rightPanel; }
    ZqDeviceList *previewGrid() const;
    ZqDeviceMenu *toolbar() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    ZqDeviceLeftPanel *m_leftPanel;
    ZqDeviceRightPanel *m_rightPanel;
};
