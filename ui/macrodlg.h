#pragma once

#include "ui/dialogframe.h"

#include <QDialog>
#include <QStringList>

class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
namespace payload {
struct MacroProgress;
} // namespace payload

// Replays a recorded macro on every ticked phone: the recordings in the data directory with their
// length and date, the speed factor, repeat count and stagger between phones, and each phone's
// progress while the replay runs. Stop, or closing the dialog, ends every phone's replay at once.
// GUI thread only; deletes itself when closed.
class MacroDlg : public QDialog
{
    Q_OBJECT

public:
    explicit MacroDlg(QWidget *parent = nullptr);
    ~MacroDlg() override;

    // Reads macros/ again.
    void reload();
    QTableWidget *recordings() const { return m_twMacro; }
    QTableWidget *progress() const { return m_twProgress; }

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_btnStart_clicked();
    void on_btnStop_clicked();
    void on_btnClose_clicked();

private:
    void showProgress(const payload::MacroProgress &progress);
    void setRunning(bool running);

    QStringList m_paths;  // by row of m_twMacro
    QStringList m_errors; // by row; empty for a recording that can be replayed
    bool m_running = false;

    dialogframe::TitleBar m_title;
    QTableWidget *m_twMacro;
    QDoubleSpinBox *m_spbSpeed;
    QSpinBox *m_spbRepeat;
    QSpinBox *m_spbStagger;
    QTableWidget *m_twProgress;
    QLabel *m_lblStatus;
    QPushButton *m_btnStart;
    QPushButton *m_btnStop;
};
