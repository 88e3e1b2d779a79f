#pragma once

#include <QJsonObject>
#include <QString>
#include <QWidget>

class QTimer;
class QToolButton;

// The title bar across the top of the main window: logo, product name and version, the window buttons,
// and after login the masked mobile number and the customer group. It also runs the update check once,
// shortly after it is built. GUI thread only.
class ZqTitle : public QWidget
{
    Q_OBJECT

public:
    // The provider's customer group, shown on btnQQGroup and copied to the clipboard from there.
    static const QString customerGroupNumber;

    explicit ZqTitle(QWidget *parent = nullptr);
    ~ZqTitle() override;

    // True when `globalPos` lies in the title bar but over none of its visible window and link buttons
    // (the user button is not one of them): there the title drags the window.
    bool titleDragArea(const QPoint &globalPos) const;

    // A mobile number with the four characters from index 3 replaced by "****".
    static QString maskedPhone(const QString &phone);
    // The dialog request for an update-check answer; empty when there is nothing to show.
    static QJsonObject updateRequest(const QString &answer);

private slots:
    void on_btnClose_clicked();
    void on_btnMax_clicked();
    void on_btnMin_clicked();
    void on_btnUserInfo_clicked();
    void on_btnHome_clicked();
    void on_btnQQGroup_clicked();
    void on_btnDownload_clicked();
    void simpleRunning();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showLoggedIn();

    QToolButton *m_btnClose;
    QToolButton *m_btnMax;
    QToolButton *m_btnMin;
    QToolButton *m_btnUserInfo;
    QToolButton *m_btnHome;
    QToolButton *m_btnDownload;
    QToolButton *m_btnCustomerService;
    QToolButton *m_btnQQGroup;
    bool m_maxToggle = true;
    QTimer *m_updateTimer;
};
