#pragma once

#include <QHash>
#include <QList>
#include <QSize>
#include <QVector>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

class QLabel;
class QScrollArea;
class QTimer;
class UploadWindow;
class ZqDeviceListItem;
struct ZQSlotMsg;
namespace payload {
struct CheckChange;
struct ClipboardAnswer;
struct PhoneName;
struct PrefixAnswer;
struct TileStatus;
} // namespace payload

// The preview grid of the device page: one tile per phone ticked in the device tree, in rows inside
// a scroll area, and the place where the page's batch actions reach the phones (home key, restart,
// factory reset, clipboard text, moving to a group, renaming by prefix). It decides which tiles are
// in view, so that only those phones are asked for preview frames, and polls the service for the
// phones' running status every 3 s.
//
// GUI thread. Service calls and phone commands run as pool tasks that hold copies of what they need
// and report back only through bus messages (Msg::tileStatusChanged for a tile's status), never
// through tile pointers.
class ZqDeviceList : public QWidget
{
    Q_OBJECT

public:
    enum DisplayMode
    {
        BigView = 0,
        MediumView = 1,
        SmallView = 2
    };
    static constexpr int tickMs = 100;
    static constexpr int statusPollTicks = 30;  // every 3 s
    static constexpr int uploadCheckTicks = 50; // every 5 s
    static constexpr int margin = 20;
    static constexpr int columnGap = 32;
    // The restart, reset and status calls name the phones by cloud phone id.
    static constexpr const char *phoneIdType = "3";

    explicit ZqDeviceList(QWidget *parent = nullptr);
    ~ZqDeviceList() override;

    static QSize tileSize(int displayMode);
    int displayMode() const { return m_displayMode; }
    // The tiles in grid order: the order in which their phones were ticked.
    QList<ZqDeviceListItem *> tiles() const;
    ZqDeviceListItem *tile(int cloudPhoneId) const { return m_tiles.value(cloudPhoneId); }
    QScrollArea *scrollArea() const { return m_scrArea; }
    QWidget *contentWidget() const { return m_content; }

    // Places the tiles in rows and lets each decide whether it is in view.
    void layoutTiles();
    // Logs the screen centres of the first ten tiles after a layout.
    void logFirstTiles() const;
    // A layout once the events already queued have been handled; ticks come in bursts.
    void scheduleLayout();
    // True until the tick changes received so far are applied and laid out.
    bool layoutPending() const { return m_layoutPending || pendingChecks() > 0; }
    // Tick changes (Msg::phoneChecked) received and not yet applied.
    int pendingChecks() const { return m_checkBacklog.size() - m_backlogHead; }
    // The longest stretch of tick changes applied in one event-loop turn before the rest waits for the
    // next turn; 0 applies one change per turn.
    void setSliceBudget(int ms) { m_sliceBudgetMs = ms; }
    static constexpr int defaultSliceBudgetMs = 20;
    // The phone named by `deviceId`, or, when it is empty, the checked tiles in grid order. Posts the
    // notice "找不到对应设备" or "没有选择设备" when that leaves nothing.
    QList<ZqDeviceListItem *> batchTargets(const QString &deviceId) const;
    // Queues one running-status poll now; the tick timer does this every 3 s. Nothing is queued while
    // the previous poll still runs.
    void pollRunningStatus();

    // Msg::uploadFiles: uploads files to batchTargets(deviceId), each phone told once its file is stored.
    // With no `dropped` files it asks for them in a file dialog.
    void startFileUpload(const QString &deviceId, const QStringList &dropped = QStringList());
    // Hands the uploads that have finished since the last round to their phones, in the order they
    // finished; the tick timer does this every 5 s. Takes the upload lock.
    void checkPendingUploads();
    // Takes the upload lock. Uploads stored and not yet handed over.
    int pendingUploadCount() const;
    // The window listing uploads, created on first use.
    UploadWindow *showUploadWindow();
    UploadWindow *uploadWindow() const { return m_uploadWindow.get(); }

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct UploadTarget;
    struct UploadJob;
    struct PendingUploads;

    static std::shared_ptr<PendingUploads> newPendingUploads();
    void uploadFiles(const QVector<UploadTarget> &targets, const QStringList &files);
    // Asks running uploads to stop; their checkpoints stay for a later run.
    void stopUploads();
    void handleMessage(const ZQSlotMsg &msg);
    struct CheckChange
    {
        int cloudPhoneId;
        bool checked;
    };
    void phoneChecked(const payload::CheckChange &change);
    // Applies queued tick changes for up to one slice budget, then lays out once the queue is empty
    // or asks for another turn.
    void applyCheckBacklog();
    // Creates or removes one tile; returns true when the grid changed.
    bool applyCheck(const CheckChange &change);
    // Applies every queued tick change at once.
    void settleChecks();
    void setDisplayMode(int mode);
    // Shows the tiles near the view, hides the rest, and updates which ones ask for previews.
    void updateVisibility();
    void updatePreviews();
    void applyStatus(const payload::TileStatus &status);
    void phoneRenamed(const payload::PhoneName &renamed);
    // An empty `deviceId` names the ticked phones.
    void homeKey(const QString &deviceId);
    void changePhones(const QString &deviceId, bool reset);
    void clipboardText(const payload::ClipboardAnswer &request);
    void moveChecked(const QString &groupText);
    void renameChecked(const payload::PrefixAnswer &request);
    QList<int> checkedIds() const;
    void onTick();

    QHash<int, ZqDeviceListItem *> m_tiles;
    QVector<ZqDeviceListItem *> m_order;
    int m_displayMode = MediumView;
    bool m_layoutPending = false;
    // A login ticks thousands of phones in one burst; each change costs a tile, so they wait here
    // and are applied in slices between which the event loop runs. Applied entries lie before
    // m_backlogHead.
    QVector<CheckChange> m_checkBacklog;
    int m_backlogHead = 0;
    bool m_drainPending = false;
    bool m_backlogChanged = false; // a tile came or went in this batch
    int m_sliceBudgetMs = defaultSliceBudgetMs;

    QScrollArea *m_scrArea;
    QWidget *m_content;
    QLabel *m_label; // white plate under the scroll area that carries its drop shadow
    QTimer *m_tickTimer;
    int m_statusTicks = statusPollTicks;
    // Set while a status poll runs on the pool; shared with that task.
    std::shared_ptr<std::atomic<bool>> m_pollRunning;
    int m_uploadTicks = uploadCheckTicks;
    std::shared_ptr<PendingUploads> m_uploads;
    std::unique_ptr<UploadWindow> m_uploadWindow;
};
