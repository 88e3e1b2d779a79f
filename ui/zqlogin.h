#pragma once

#include <QWidget>

class QLineEdit;
class QTimer;
class QToolButton;

// The login page: login by mobile number and password or by SMS code, password reset by SMS code,
// and a link to registration. The account calls report their own failures; the form only reacts to
// success. After a login it stores the account (and the password of a password login) and posts
// Msg::loggedIn. GUI thread only; each account call blocks in a local event loop.
class ZqLogin : public QWidget
{
    Q_OBJECT

public:
    static constexpr int countdownSeconds = 60;
    static constexpr int panelHeight = 280;

    explicit ZqLogin(QWidget *parent = nullptr);

    // Fills the account and password fields, only when both are non-empty and the user has typed
    // in neither.
    void fillAccount(const QString &account, const QString &password);
    // Gives the keyboard to the account field, or to the password field once the account is known,
    // so that typing before any click lands where a user expects. Takes effect when the window
    // becomes active if it is not yet.
    void focusFirstEmptyField();

    bool codeMode() const { return m_codeMode; }
    bool counting() const { return m_counting; }

private slots:
    void on_btnAccount_clicked();
    void on_btnIdentifyingCode_clicked();
    void on_btnLogin_clicked();
    void on_btnGetVeriCode_clicked();
    void running();
    void on_btnLosspass_clicked();
    void on_btnRetLogin_clicked();
    void on_btnConfirm_clicked();
    void on_btnRegister_clicked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The second field as the verification-code field beside btnGetVeriCode.
    void makeCodeField();
    void applyAccountMode();

    QWidget *m_widgetLogin;
    QToolButton *m_btnAccount;
    QToolButton *m_btnIdentifyingCode;
    QLineEdit *m_edtAccount;
    QLineEdit *m_edtPassword;
    QToolButton *m_btnLogin;
    QToolButton *m_btnLosspass;
    QToolButton *m_btnGetVeriCode;
    QLineEdit *m_edtPassword2;
    QToolButton *m_btnConfirm;
    QToolButton *m_btnRetLogin;
    QToolButton *m_btnRegister;

    QTimer *m_countdown;
    bool m_counting = false;
    int m_seconds = 0;
    bool m_codeMode = false;
    // An account call is waiting for its answer; a second click must not start another one.
    bool m_requestRunning = false;
};
