#pragma once

#include "ui/zqdevicemenu.h"

#include <QWidget>

#include <memory>

class VMBuy;
class VMUpload;
class ZqDeviceList;

// The right side of the device page: the toolbar across the top and the preview grid below it.
// GUI thread only.
class ZqDeviceRightPanel : public QWidget
{
    Q_OBJECT

public:
    static constexpr int toolbarHeight = 120;
    static constexpr int gridTop = 121;

    explicit ZqDeviceRightPanel(QWidget *parent = nullptr);
    ~ZqDeviceRightPanel() override;

    ZqDeviceMenu *toolbar() const { return m_toolbar; }
    ZqDeviceList *grid() const { return m_grid; }
    // The page windows, created by the toolbar's first click on buy or upload; null before.
    VMBuy *buyPage() const { return m_buy.get(); }
    VMUpload *uploadPage() const { return m_upload.get(); }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // Creates the page's window on first use and keeps it for the rest of the run: closing only hides
    // it, and the next click shows the same page again.
    void openPage(ZqDeviceMenu::Page page);

    ZqDeviceMenu *m_toolbar;
    ZqDeviceList *m_grid;
    std::unique_ptr<VMBuy> m_buy;
    std::unique_ptr<VMUpload> m_upload;
};
