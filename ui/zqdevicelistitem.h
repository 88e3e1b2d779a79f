#pragma once

#include "api/userinfo.h"

#include <QPixmap>
#include <QWidget>

class QCheckBox;
class QLabel;
class QMenu;
class QTimer;

// One tile of the preview grid: the newest preview frame of one phone with its name, billing icon,
// check box and status. A click above the bottom strip opens the phone, a click in the strip toggles
// the check box, a right click opens the phone menu. The check box is the selection of the grid's
// batch actions. GUI thread only; deletes itself when closed.
//
// An account may tick thousands of phones, most of them never scrolled into view: the labels, the
// check box and the icon timer are made when the tile is first shown. Until then the selection and
// the status live in the tile alone and behave the same.
class ZqDeviceListItem : public QWidget
{
    Q_OBJECT

public:
    // The caption strip below the preview, and the bottom strip whose clicks toggle the check box.
    static constexpr int captionHeight = 22;
    static constexpr int checkStripHeight = 42;
    static constexpr int iconPollMs = 1000;
    enum TileStatus
    {
        StatusNormal = 1,
        StatusOff = 2,
        StatusRestarting = 3,
        StatusResetting = 4,
        StatusDisconnected = 5
    };

    // Subscribes under the phone's deviceId; checks the box when the phone may be operated, which
    // registers it with the session manager.
    ZqDeviceListItem(const phoneRecord &phone, QWidget *parent);
    ~ZqDeviceListItem() override;

    const phoneRecord &phone() const { return m_phone; }
    int cloudPhoneId() const { return m_phone.cloudPhoneId; }
    QString deviceId() const { return m_phone.deviceId; }
    bool isSelected() const { return m_selected; }
    // The caption after a rename, ahead of the inventory reload that brings the same name.
    void setPhoneName(const QString &name);

    int tileStatus() const { return m_tileStatus; }
    // Shows the status text (hidden for StatusNormal). A status above StatusNormal stops previews.
    void setTileStatus(int status);
    // The text shown for a status; empty for StatusNormal.
    static QString statusText(int status);

    // Asks for previews while the tile lies at least partly inside the viewport (height
    // `viewportHeight`, content scrolled to `contentOffset`) and its phone runs normally; stops them
    // otherwise. The preview queue is told only about changes.
    void updatePreviewVisibility(int viewportHeight, int contentOffset);
    // The same, with the viewport and offset of the scroll area the tile sits in.
    void updatePreviewVisibility();
    bool previewRequested() const { return m_previewing; }

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    // Files dropped on a tile go to its phone, or to every ticked phone when the tile is ticked.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_chkSelect_toggled(bool checked);
    void menuOpen();
    void menuNewPhone();
    void menuRestart();
    void menuReset();
    void menuHome();
    void menuSyncOperation();
    void menuMoveNewGroup();
    void pollBillingIcon();

private:
    // Builds the labels, the check box and the icon timer on the first show.
    void ensureContents();
    void setSelected(bool selected);
    void showStatus();
    void placeContents();
    void refreshPhone();
    void showMenu(const QPoint &globalPos);
    void setPreviewing(bool on);

    phoneRecord m_phone;
    int m_tileStatus = StatusNormal;
    bool m_selected = false;
    bool m_previewing = false;
    QString m_previewUcId; // the credential the preview queue was given

    // Null until the first show.
    QLabel *m_lblDeviceId = nullptr;
    QCheckBox *m_chkSelect = nullptr;
    QLabel *m_lblDeviceName = nullptr;
    QLabel *m_lblStatus = nullptr;
    QLabel *m_lblBillIcon = nullptr;
    QTimer *m_iconTimer = nullptr;
    QPixmap m_billIcon;
};
