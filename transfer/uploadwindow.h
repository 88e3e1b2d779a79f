#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QStringList>
#include <QVector>
#include <QWidget>

#include <memory>

class ObjUpload;
class QLabel;
class QProgressBar;
class QTimer;
class QVBoxLayout;

// The uploads of this run, one row per file: a progress bar with bytes, speed and time left while
// the file goes to the object store, then each phone's result once the phones have been told.
//
// GUI thread. Progress is read from the shared uploads on a timer; the rest arrives as bus
// messages (upload ended, handed over, one transfer result per phone).
class UploadWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int refreshMs = 250;

    explicit UploadWindow(QWidget *parent = nullptr);
    ~UploadWindow() override;

    // A row for `upload` of `fileName` going to the phones with these names and ids.
    void addUpload(std::shared_ptr<ObjUpload> upload, const QString &fileName, const QStringList &phoneNames,
                   const QStringList &deviceIds);

    int rowCount() const { return m_rows.size(); }
    QString statusText(int row) const;
    QString resultText(int row) const;
    int progressPercent(int row) const;

    // "12.5 MB / 40.0 MB  3.2 MB/s  剩余 00:09"; the speed and time left only once a speed is known.
    static QString describeProgress(qint64 done, qint64 total, double bytesPerSecond);

protected:
    bool event(QEvent *event) override;

private:
    enum Stage
    {
        Uploading,
        Stored,
        Failed,
        HandedOver
    };
    struct Row
    {
        int id = 0;
        std::shared_ptr<ObjUpload> upload;
        QStringList names;
        QStringList deviceIds;
        QHash<QString, QString> results; // deviceId → result text
        Stage stage = Uploading;
        QLabel *status = nullptr;
        QLabel *phones = nullptr;
        QProgressBar *bar = nullptr;
        QElapsedTimer clock;
        qint64 lastBytes = 0;
        qint64 lastMs = 0;
        double speed = 0;
    };

    Row *row(int id);
    void refresh();
    void updateResults(Row &row);

    QVector<Row> m_rows;
    QVBoxLayout *m_list;
    QTimer *m_timer;
};
