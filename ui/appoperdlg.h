#pragma once

#include "ui/dialogframe.h"

#include <QDialog>
#include <QList>
#include <QString>

class QCheckBox;
class QJsonObject;
class QLabel;
class QPushButton;
class QScrollArea;

// One app of the batch app dialog: a check box with the app's name and its package beside it.
class AppItem : public QWidget
{
    Q_OBJECT

public:
    static constexpr int itemWidth = 624;
    static constexpr int itemHeight = 34;

    AppItem(const QString &packageName, const QString &appName, QWidget *parent);

    QString packageName() const { return m_packageName; }
    QString appName() const { return m_appName; }
    bool isChecked() const;
    void setChecked(bool checked);

private:
    QString m_packageName;
    QString m_appName;
    QCheckBox *m_cbAppName;
    QLabel *m_lblPkgName;
};

// Starts, stops or uninstalls the checked apps on every phone registered with the session manager.
// It lists the apps of one registered phone, which arrive as Msg::installedPackages after `exec` asked for
// them. GUI thread only; deletes itself when closed.
class AppOperDlg : public QDialog
{
    Q_OBJECT

public:
    static constexpr int rowPitch = 35;
    static constexpr int listTop = 4;

    explicit AppOperDlg(QWidget *parent = nullptr);
    ~AppOperDlg() override;

    // Reads "type" (1 start, 2 stop, 3 uninstall; absent reads as 0) and retitles the dialog.
    void setOperationType(const QJsonObject &request);
    // SdkManager's AppStart, AppStop or AppUninstall; anything else shows no operation.
    void setOperation(int operation);
    int operationType() const { return m_operationType; }
    // Asks for the package list first: with no phone ticked it posts the notice "至少选择一台云手机"
    // and closes (and so deletes) itself instead of running.
    int exec() override;

    const QList<AppItem *> &appItems() const { return m_appItems; }
    // Appends a row for every "first|package|name" entry of a comma-separated list; entries with
    // another number of fields are skipped. The dialog holds at most maxPackages rows.
    void addPackages(const QString &list);

protected:
    bool event(QEvent *event) override;

private slots:
    void on_btnOK_clicked();
    void on_btnCancel_clicked();
    void on_btnClose_clicked();

private:
    int m_operationType = 0;
    QList<AppItem *> m_appItems;

    dialogframe::TitleBar m_title;
    QLabel *m_lblPrompt;
    QScrollArea *m_scApp;
    QWidget *m_content;
    QPushButton *m_btnCancel;
    QPushButton *m_btnOK;
};
