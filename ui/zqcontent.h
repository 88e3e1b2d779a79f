#pragma once

#include <QWidget>

class ZqDevice;
class ZqLogin;

// The content frame below the title bar: shows the login page (Msg::showLoginPage) or, after login
// (Msg::loggedIn), the device page, and starts the preview scheduler; exactly one of them at a time.
// GUI thread only.
class ZqContent : public QWidget
{
    Q_OBJECT

public:
    explicit ZqContent(QWidget *parent = nullptr);
    ~ZqContent() override;

    ZqLogin *loginPage() const { return m_login; }
    ZqDevice *devicePage() const { return m_device; }

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The login page with the stored account filled in and the keyboard on its first empty field.
    void showLoginPage();
    // The preview scheduler runs from the first login on; later logins leave it running.
    void startPreviews();

    ZqDevice *m_device;
    ZqLogin *m_login;
    bool m_previewsStarted = false;
};
