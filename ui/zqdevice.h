#pragma once

#include <QWidget>

class ZqDeviceLeftPanel;
class ZqDeviceList;

// The device page, shown in the content frame once the user has logged in: the device tree on the left,
// the preview grid on the right. GUI thread only.
class ZqDevice : public QWidget
{
    Q_OBJECT

public:
    static constexpr int leftPanelWidth = 400;

    explicit ZqDevice(QWidget *parent = nullptr);

    ZqDeviceLeftPanel *leftPanel() const { return m_leftPanel; }
    ZqDeviceList *previewGrid() const { return m_grid; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    ZqDeviceLeftPanel *m_leftPanel;
    ZqDeviceList *m_grid = nullptr; // the preview grid, right of the tree
};
