#pragma once

#include <QWidget>

class ZqDeviceList;
class ZqDeviceMenu;

// The right side of the device page: the toolbar across the top and the preview grid below it.
// GUI thread only.
class ZqDeviceRightPanel : public QWidget
{
    Q_OBJECT

public:
    static constexpr int toolbarHeight = 120;
    static constexpr int gridTop = 121;

    explicit ZqDeviceRightPanel(QWidget *parent = nullptr);

    ZqDeviceMenu *toolbar() const { return m_toolbar; }
    ZqDeviceList *grid() const { return m_grid; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    ZqDeviceMenu *m_toolbar;
    ZqDeviceList *m_grid;
};
