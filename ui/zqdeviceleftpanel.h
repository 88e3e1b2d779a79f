#pragma once

#include "api/userinfo.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QDateTime;
class QLabel;
class QLineEdit;
class QMenu;
class QModelIndex;
class QStandardItem;
class QStandardItemModel;
class QTimer;
class QToolButton;
class QTreeView;
struct ZQSlotMsg;

// The left column of the device page: the account's phones in a tree (groups, then phones with name,
// number and remaining time), with search, sorting, bulk checking and the group and phone menus. The
// check boxes are the page's selection; every change of a phone's check state goes out as
// Msg::phoneChecked. Server work goes through g_userInfo, questions to the user through the message
// dialog (Msg::showDialog).
// GUI thread only; the device exchange runs as a pool task that only posts.
class ZqDeviceLeftPanel : public QWidget
{
    Q_OBJECT

public:
    // Every cell carries its description as a JSON object under this role.
    static constexpr int itemDataRole = Qt::UserRole + 1;
    static constexpr int searchGroupId = -100;
    // Remaining rental time at or below which the time is drawn in red.
    static constexpr int expiringHours = 72;
    enum SortMode
    {
        DefaultSort,
        TimeAscending,
        TimeDescending,
        NameAscending,
        NameDescending
    };

    explicit ZqDeviceLeftPanel(QWidget *parent = nullptr);
    ~ZqDeviceLeftPanel() override;

    QStandardItemModel *model() const { return m_model; }
    QTreeView *treeView() const { return m_twDevice; }
    int sortMode() const { return m_sortMode; }

    // Sets one phone row's check state (quietly for the view's own handler), then the count, the
    // group row and Msg::phoneChecked. Nothing happens for a row that already has the state or is no phone
    // row; a phone the inventory does not know is never checked.
    void setPhoneCheckState(QStandardItem *row, Qt::CheckState state);
    // Leaves exactly the first `n` phones in tree order checked, as far as there are phones: later
    // checked ones are unchecked, then unchecked ones are checked from the top.
    void selectFirstN(int n);
    // Brings the tree in line with the inventory, or with the search results while searching. A large
    // tree is built over several turns of the event loop, so that the page stays responsive; a rebuild
    // asked for meanwhile replaces the one in progress.
    void rebuildTree();
    // True while a rebuild still has rows to add.
    bool building() const { return m_build != nullptr; }
    // The most rows one turn adds, whatever time is left of the turn (tests make it small).
    void setSliceRows(int rows) { m_sliceRows = qMax(1, rows); }

    // The phones of the ordinary groups among `groups` whose name or number contains `text`
    // (case-sensitive), in group order.
    static QList<phoneRecord> searchMatches(const QList<groupRecord> &groups, const QString &text);
    // The phones of one group in the order of `mode` (DefaultSort keeps the given order).
    static void sortPhones(QList<phoneRecord> &phones, int mode);
    // The earliest end time ("yyyy-MM-dd HH:mm:ss", local) that is more than expiringHours after `now`
    // once rounded to whole hours. End times compare as text, so a rebuild formats this once instead of
    // converting every phone's end time.
    static QString expiryLimit(const QDateTime &now);
    // True when `endTime` is a well-formed end time before `limit`; any other text is not expiring.
    static bool expiresBefore(const QString &endTime, const QString &limit);
    static bool expiresSoon(const QString &endTime, const QDateTime &now)
    {
        return expiresBefore(endTime, expiryLimit(now));
    }

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_btnRefreshDev_clicked();
    void on_btnNewGroup_clicked();
    void on_chbAllright_clicked();
    void on_chbNo_clicked();
    void on_edtSearch_textChanged(const QString &text);
    void onTreeViewMenuReuqested(const QPoint &pos);
    void itemCheckChanged(QStandardItem *item);
    void menuPhoneRename();
    void menuPhoneOpen();
    void menuNewPhone();
    void menuRestart();
    void menuReset();
    void menuMoveNewGroup();
    void menuDelGroup();
    void menuRenameGroup();
    void onMultiChioce10();
    void onMultiChioce50();
    void onMultiChioceSelf();
    void onDefaultSort();
    void onTimeUpSort();
    void onTimeDownSort();
    void onNameUpSort();
    void onNameDownSort();

private:
    // Groups check-state changes: the count and the group rows are brought up to date once, when the
    // outermost scope ends, instead of after every row.
    class Batch
    {
    public:
        explicit Batch(ZqDeviceLeftPanel *panel);
        ~Batch();

    private:
        ZqDeviceLeftPanel *m_panel;
    };

    // Marks the panel's own model changes, so that the model's change signal is not taken for a click.
    class Quiet
    {
    public:
        explicit Quiet(ZqDeviceLeftPanel *panel);
        ~Quiet();

    private:
        ZqDeviceLeftPanel *m_panel;
    };

    // The inventory as the tree shows it: special group -2, then -1 (each only with phones), then the
    // ordinary groups; `settled` is false while a reload is swapping the inventory in.
    struct Snapshot
    {
        QList<groupRecord> groups;
        bool settled = true;
    };
    Snapshot takeSnapshot() const;

    // A rebuild in progress: the groups to show with their phones in display order, and how far it got.
    struct Build
    {
        QList<groupRecord> groups;
        Qt::CheckState initial = Qt::Checked;
        bool search = false;
        int group = 0;
        int phone = 0;
        QSet<int> groupIds;
        QSet<int> phoneIds;
    };
    // Adds the next slice of rows; once every row is in, removes what the inventory no longer holds.
    void continueBuild();
    // False when the slice ran out before the last row.
    bool addRows(Build &build);
    void finishBuild(const Build &build);

    void handleMessage(const ZQSlotMsg &msg);
    void chooseSort(int mode);
    void applyToAllPhones(const std::function<Qt::CheckState(Qt::CheckState)> &next);
    QList<QStandardItem *> phoneRowsInTreeOrder() const;

    QStandardItem *groupRow(int groupId, const QString &text);
    void addPhone(QStandardItem *group, const phoneRecord &phone, Qt::CheckState initial);
    void updatePhoneTexts(QStandardItem *row, const phoneRecord &phone);
    void removePhoneRow(QStandardItem *row);
    void removeGroupRow(QStandardItem *group);
    void clearTree();
    void updateGroupCheckState(int groupId);
    void markChanged(QStandardItem *row);
    void flushBatch();
    void refreshCount();
    bool knownPhone(int cloudId) const;

    // The phone or group id of the view's current row; 0 when the row is not of that kind.
    int currentPhone() const;
    int currentGroup() const;
    static QJsonObject itemData(const QStandardItem *item);
    QMenu *popupMenu(QWidget *parent);

    QTreeView *m_twDevice;
    QStandardItemModel *m_model;
    QLineEdit *m_edtSearch;
    QToolButton *m_btnSearch;
    QToolButton *m_btnNewGroup;
    QToolButton *m_btnRefreshDev;
    QCheckBox *m_chbAllright;
    QCheckBox *m_chbNo;
    QLabel *m_lblCount;
    QToolButton *m_btnMultiChioce;
    QTimer *m_retryTimer;
    QTimer *m_sliceTimer;

    QList<phoneRecord> m_searchResults;
    // expiryLimit() at the start of the current rebuild.
    QString m_expiryLimit;
    QString m_selectedGroupText;
    int m_sortMode = DefaultSort;

    // Column-0 items of the rows in the model, by cloud phone id and by group id.
    QHash<int, QStandardItem *> m_phoneRows;
    QHash<int, QStandardItem *> m_groupRows;

    // A sort change empties the tree; the next full rebuild restores these states and expansions.
    bool m_clearPending = false;
    QHash<int, Qt::CheckState> m_restoreStates;
    QSet<int> m_restoreExpanded;

    std::unique_ptr<Build> m_build;
    int m_sliceRows = 2000;

    int m_quiet = 0;
    int m_batchDepth = 0;
    QSet<int> m_dirtyGroups;
};
