#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>

class QMenu;
class QPushButton;
class QToolButton;

// The toolbar above the preview grid. It never acts on phones: every control posts a bus message or
// asks for a dialog whose answer is one, and the grid (or the main window) carries it out.
// GUI thread only.
class ZqDeviceMenu : public QWidget
{
    Q_OBJECT

public:
    enum Page
    {
        BuyPage,
        UploadPage
    };
    Q_ENUM(Page)

    // Where the controls sit in a toolbar `width` wide; a pure function of the width, so the layout
    // can be checked without a screen.
    struct Geometry
    {
        QRect plate; // the white rounded plate that carries the shadow
        QRect sync, restart, reset, upload, plgl, displayMode, buy;
    };
    static constexpr int buttonY = 42;
    static constexpr int buyY = 44;
    static constexpr int buyRightMargin = 18;
    static constexpr QSize switchSize{128, 36};
    static constexpr QSize buttonSize{96, 36};
    static constexpr QSize buySize{80, 32};
    static Geometry geometryFor(int width);

    explicit ZqDeviceMenu(QWidget *parent = nullptr);
    ~ZqDeviceMenu() override;

signals:
    // The buy and upload buttons ask for their page windows; whoever provides those pages listens.
    void pageRequested(ZqDeviceMenu::Page page);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_btnSyncOperation_clicked();
    void on_btnRestart_clicked();
    void on_btnReset_clicked();
    void on_btnUpload_clicked();
    void on_btnBuy_clicked();
    void onDisplayModeBig();
    void onDisplayModeMid();
    void onDisplayModeSml();
    void onPlqd();
    void onPltz();
    void onPlxz();
    void onPlmm();
    void onMacroReplay();
    void onPlfz();
    void onPlglMenuShow();

private:
    QMenu *makeMenu(QToolButton *button);
    void displayMode(int message);

    // The plate and its shadow, drawn once per size: a graphics effect on a widget under the buttons
    // would blur again on every hover and paint over the buttons it did not repaint.
    QImage m_plate;
    QPushButton *m_btnSyncOperation;
    QToolButton *m_btnRestart;
    QToolButton *m_btnReset;
    QToolButton *m_btnUpload;
    QToolButton *m_btnPlgl;
    QToolButton *m_btnDisplayMode;
    QToolButton *m_btnBuy;
    QMenu *m_plglMenu;
    QMenu *m_displayMenu;
};
