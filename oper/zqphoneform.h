#pragma once

#include "coreclient/core_client.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QToolButton;
class ZqPhoneWindow;
namespace macro {
class Recorder;
}

// The frameless window in which the user operates one phone: the display surface, a title bar, a
// column of buttons on the right (volume, upload, restart, screenshot, record) and the navigation buttons
// below. It keeps the display at the phone's aspect while resized, turns with the phone, and closes
// the phone's connection when the user closes it. GUI thread only.
class ZqPhoneForm : public QWidget
{
    Q_OBJECT

public:
    // What the control windows ask of the account's inventory. Until one is installed every phone
    // may be operated and restarting is not offered.
    struct Account
    {
        std::function<bool(int cloudPhoneId)> mayOperate;
        // Blocks on the service; cloudPhoneIds in decimal, joined by ",". True when accepted.
        std::function<bool(const QString &cloudPhoneIds, const QString &type)> restartPhones;
    };
    static void setAccount(Account account);
    static bool mayOperate(int cloudPhoneId);

    enum FitState
    {
        Normal = 0,
        FittedToScreen = 1,
        Minimised = 2
    };

    ZqPhoneForm(const QString &deviceId, const QString &deviceName, const QString &deviceUcId,
                const QString &deviceNo, quint64 deviceUcIdTimestamp, int cloudPhoneId,
                QWidget *parent = nullptr);
    ~ZqPhoneForm() override;

    const QString &deviceId() const { return m_deviceId; }
    int cloudPhoneId() const { return m_cloudPhoneId; }
    int rotation() const { return m_rotation; }
    FitState fitState() const { return m_fitState; }
    ZqPhoneWindow *display() const { return m_display; }

    // Makes this window's input (and its display's) the one that the other phones mirror.
    void setSyncMaster(bool master);
    bool isSyncMaster() const { return m_isSyncMaster; }
    // Turns the window between portrait and landscape when `rotation` changes the orientation.
    void applyRotation(int rotation);
    // Whether the record button is recording this window's input.
    bool isRecording() const { return m_recorder != nullptr; }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // Files dropped on the window are uploaded to its phone.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_btnClose_clicked();
    void on_btnMaxRestore_clicked();
    void on_btnMin_clicked();
    void on_btnReturn_clicked();
    void on_btnDesktop_clicked();
    void on_btnMission_clicked();
    void on_btnVolAdd_clicked();
    void on_btnVolSub_clicked();
    void on_btnUpload_clicked();
    void on_btnRestart_clicked();
    void on_btnScreenshot_clicked();
    // Starts recording this window's input, or stops and saves the recording to macros/.
    void on_btnRecord_clicked();

private:
    void buildWidgets();
    QToolButton *addButton(QWidget *bar, const char *name, const QString &text, const char *icon);
    void paintBar(QWidget *bar);
    bool barMouse(QWidget *bar, QMouseEvent *event);
    void sendFunctionKey(int code, bool mirrored);
    void closePhone();
    void stopRecording();
    // Ends synchronised operation when this window is its master; other windows leave it running.
    void endSync();
    static QRect availableGeometry();

    const QString m_deviceId;
    const QString m_deviceName;
    const QString m_deviceUcId;
    const QString m_deviceNo;
    const quint64 m_deviceUcIdTimestamp;
    const int m_cloudPhoneId;
    int m_rotation = 0;
    char m_identityUcId[256] = {};
    char m_identityId[256] = {};
    SdkSession m_identity;
    bool m_hasIdentity = false;
    bool m_isSyncMaster = false;
    FitState m_fitState = Normal;
    WId m_connectedWindow = 0;

    // Mouse handling on the bars.
    bool m_dragging = false;
    int m_resizeEdge = 0;
    QPoint m_pressGlobal;
    QRect m_pressGeometry;
    // Geometry before fitting to the screen; invalid until the first fit.
    QRect m_savedGeometry;

    QWidget *m_title = nullptr;
    QWidget *m_right = nullptr;
    QWidget *m_bottom = nullptr;
    QLabel *m_titleLabel = nullptr;
    QToolButton *m_btnMin = nullptr;
    QToolButton *m_btnMaxRestore = nullptr;
    QToolButton *m_btnClose = nullptr;
    QToolButton *m_btnMission = nullptr;
    QToolButton *m_btnDesktop = nullptr;
    QToolButton *m_btnReturn = nullptr;
    QToolButton *m_btnRecord = nullptr;
    std::unique_ptr<macro::Recorder> m_recorder;
    ZqPhoneWindow *m_display = nullptr;
};
