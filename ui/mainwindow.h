#pragma once

#include <QHash>
#include <QMainWindow>
#include <QPoint>
#include <QPointer>
#include <QRect>

#include <memory>
#include <optional>

class MacroDlg;
class ZqContent;
class ZqDialogForm;
class ZqPhoneForm;
class ZqTitle;
struct ZQSlotMsg;
namespace payload {
struct CheckChange;
struct OpenPhone;
} // namespace payload

// The one top-level window: frameless, with the title bar across the top and the content frame below.
// It creates the configuration and the account model, starts the phone library, and carries out the
// application-wide requests of the bus (exit, window state, message dialogs, screenshots, the phone
// control windows) and the tip window message. GUI thread only.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int minimumWidth = 1280;
    static constexpr int minimumHeight = 680;
    static constexpr int titleHeight = 40;
    // How long an orderly exit may take before the process is ended regardless.
    static constexpr int exitWatchdogMs = 3000;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The non-client area under `globalPos`, as the native hit test answers it; empty for the client area.
    std::optional<int> hitTest(const QPoint &globalPos) const;

    // Where a screenshot of `stem` taken at `stamp` ("yyyyMMdd_hhmmss") is saved in `directory`: the stem
    // reduced to letters, digits, '-' and '_', and a counter added when the name is taken.
    static QString screenshotPath(const QString &directory, const QString &stem, const QString &stamp);

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void handleMessage(const ZQSlotMsg &msg);
    void exitApplication();
    void showMessageDialog(const QString &json);
    void runAppDialog(int operation);
    void showMacroDialog();
    void saveScreenshot(const ZQSlotMsg &msg);
    void openPhoneForm(const payload::OpenPhone &phone);
    void forgetPhoneForm(const QString &deviceId);
    void phoneCheckChanged(const payload::CheckChange &change);
    void switchSyncOperation(bool on);
    void forgetSyncMaster();
    // Mouse events of the native window, seen before any child widget: presses on the title or the border
    // move or resize the window.
    bool nonClientMouse(QMouseEvent *event);
    void setBorderCursor(std::optional<int> code);

    QWidget *m_centralWidget;
    ZqContent *m_content = nullptr;
    ZqTitle *m_title = nullptr;
    std::unique_ptr<ZqDialogForm> m_messageDialog;
    QPointer<MacroDlg> m_macroDialog;
    // One control window per phone, by deviceId. The windows delete themselves when closed, so an
    // entry may turn null before the window's closing message arrives.
    QHash<QString, QPointer<ZqPhoneForm>> m_phoneForms;
    int m_borderWidth = 5;
    // Synchronised operation mode: the first control window opened while it is on is the master.
    bool m_syncOperationOn = false;
    // The phone of the master's window; 0 and empty when none is open.
    int m_syncMasterId = 0;
    QString m_syncMasterDeviceId;

    // A move or resize done by hand because the window system would not take it over.
    struct ManualDrag
    {
        int code = 0;
        QPoint startGlobal;
        QRect startGeometry;
    };
    std::optional<ManualDrag> m_manualDrag;
    bool m_borderCursor = false;
};
