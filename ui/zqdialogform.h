#pragma once

#include <QJsonObject>
#include <QPoint>
#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QRegExpValidator;
class QTextEdit;

// The one data-driven dialog. A requester posts Msg::showDialog with a JSON request; the dialog lays
// itself out by the request's "type" and, on confirmation, posts the request back with the answer
// added as a bus message whose type is the request's "msgId". Requesters never hold a pointer to it.
// GUI thread only.
class ZqDialogForm : public QWidget
{
    Q_OBJECT

public:
    // Whole inputs "0", 1 to 179 without leading zeros, and "9999".
    static const QString countPattern;

    explicit ZqDialogForm(QWidget *parent = nullptr);

    // Replaces the request and the layout. Text that is not a JSON object shows the error layout.
    void setDialogData(const QString &json);

    int dialogType() const { return m_dialogType; }

private slots:
    void on_btnConfirm_clicked();
    void on_btnCancel_clicked();
    void on_btnClose_clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void detachCountValidator();
    // The text of every fragment of every block of edtText, with nothing between blocks.
    QString clipboardText() const;

    QWidget *m_wTitle;
    QLabel *m_lblTitle;
    QPushButton *m_btnClose;
    QWidget *m_wContent;
    QLabel *m_lbl1;
    QLabel *m_lbl2;
    QLineEdit *m_edtLine;
    QTextEdit *m_edtText;
    QPushButton *m_btnCancel;
    QPushButton *m_btnConfirm;
    QRegExpValidator *m_countValidator;

    int m_dialogType = 0;
    int m_dialogMsgId = 0;
    QJsonObject m_dialogData;
    QPoint m_dragAnchor;
};
