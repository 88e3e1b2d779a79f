#include "ui/zqdevicerightpanel.h"

#include "transfer/webpages.h"
#include "ui/zqdevicelist.h"

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
    connect(m_toolbar, &ZqDeviceMenu::pageRequested, this, &ZqDeviceRightPanel::openPage);
}

ZqDeviceRightPanel::~ZqDeviceRightPanel() = default;

void ZqDeviceRightPanel::openPage(ZqDeviceMenu::Page page)
{
    WebPageWindow *window = nullptr;
    if (page == ZqDeviceMenu::BuyPage) {
        if (!m_buy) {
            m_buy = std::make_unique<VMBuy>();
            m_buy->setWindowTitle(QStringLiteral("商城"));
        }
        window = m_buy.get();
    } else {
        if (!m_upload) {
            m_upload = std::make_unique<VMUpload>();
            m_upload->setWindowTitle(QStringLiteral("上传"));
        }
        window = m_upload.get();
    }
    window->loadPage();
    window->show();
}

void ZqDeviceRightPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_toolbar->setGeometry(0, 0, width(), toolbarHeight);
    m_grid->setGeometry(0, gridTop, width(), height() - toolbarHeight);
}
