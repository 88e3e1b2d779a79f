#pragma once

// One simulated phone: its apps, what is on screen and how input changes it.
// Every public call is thread-safe (one mutex per phone); rendering works on a
// copy of the state so it never holds the lock.

#include "server/phonefarm/catalog.h"
#include "wire/wire.h"

#include <QHash>
#include <QPointF>
#include <QSize>
#include <QStringList>

#include <mutex>

namespace farm {

// Layout units: every screen is laid out 720 wide and 1280 high when upright, and drawn, touched
// and dumped at the phone's own size, which is always 9:16.
constexpr int kScreenWidth = 720;
constexpr int kScreenHeight = 1280;

// The size of a phone with this id when the farm mixes sizes: the code of the id's last character
// modulo 3 picks 720x1280 (0), 540x960 (1) or 1080x1920 (2). Upright, in the phone's own pixels.
QSize mixedScreenSize(const QString &deviceId);

enum class View
{
    Launcher,
    App,
    Recents
};

// What a touch landed on; shared by rendering (highlight) and input.
struct Hit
{
    enum Kind
    {
        None,
        Icon,
        NavBack,
        NavHome,
        NavRecents,
        AppBack,
        AppButton,
        ClearText,
        RecentCard,
        ClearAll
    };
    Kind kind = None;
    int index = 0;
    bool operator==(const Hit &o) const { return kind == o.kind && index == o.index; }
};

struct Ripple
{
    QPointF pos;
    qint64 startMs = 0;
    qint64 endMs = 0; // 0 while the finger is down
};

struct PhoneState
{
    QString deviceId;
    QSize panel{kScreenWidth, kScreenHeight}; // the phone's own pixels, upright
    QColor wallpaper;
    QList<AppInfo> apps; // launcher order
    View view = View::Launcher;
    View viewBeforeRecents = View::Launcher;
    QString foreground;  // package shown when view is App
    QStringList recents; // running apps, most recent first
    QString text;        // the notes app's text field
    int cursor = 0;
    bool adbIme = false;
    int volume = 8;
    qint64 volumeUntilMs = 0;
    QList<Ripple> ripples;
    Hit pressed;
    QPointF pressPos;
    QHash<QString, int> taps; // tap counter per generic app
    QString remoteUser;       // set by a user login
    QStringList downloads;
    qint64 appOpenedMs = 0;
    quint64 version = 1; // bumped on every visible change

    const AppInfo *app(const QString &package) const;
    int rotation() const; // 1 while a landscape app is in front
    // The phone's own pixels in the current orientation: frames, screenshots, touches, view dumps.
    QSize screenSize() const;
    // The same screen in layout units, in which drawing and hit tests work.
    QSize layoutSize() const;
    // Own pixels per layout unit.
    double scale() const { return double(panel.width()) / kScreenWidth; }
};

constexpr qint64 kRippleFadeMs = 350;
constexpr qint64 kVolumeShownMs = 1500;
constexpr int kMaxDownloads = 200;
constexpr int kMaxTextChars = 20000;

class Phone
{
public:
    explicit Phone(const QString &deviceId, const QSize &panel = QSize(kScreenWidth, kScreenHeight));

    // Running status: 1 normal, 3 restarting, 4 resetting.
    int status(qint64 nowMs) const;
    // Goes offline for durationMs. A reset also restores the factory state.
    void restart(qint64 nowMs, qint64 durationMs);
    void reset(qint64 nowMs, qint64 durationMs);

    // Input. Each returns 0 or a CC_ERR_* code.
    int key(const ccwire::KeyEvent &event, qint64 nowMs);
    int functionKey(int code, qint64 nowMs);
    int text(const QByteArray &utf8, qint64 nowMs);
    int touch(const ccwire::Touch &touch, qint64 nowMs);
    // Shell command; output is what the shell printed.
    int shell(const QByteArray &command, qint64 nowMs, QByteArray *output);
    int login(const QByteArray &json, QByteArray *answer);

    QByteArray packageList() const;
    void addDownload(const QString &fileName);
    // Installs an app, or replaces the one with the same package.
    void install(const AppInfo &app);

    PhoneState snapshot(qint64 nowMs);
    // Changes whenever the picture would: state changes and animation ticks.
    quint64 visualKey(qint64 nowMs) const;

private:
    void factoryState();
    void openApp(const QString &package, qint64 nowMs);
    void back();
    void home();
    void showRecents();
    void stopApp(const QString &package);
    void activate(const Hit &hit, qint64 nowMs);
    void pruneRipples(qint64 nowMs);
    QByteArray uiDump() const;

    mutable std::mutex mutex_;
    PhoneState s_;
    qint64 offlineUntilMs_ = 0;
    int offlineStatus_ = 1;
};

} // namespace farm
