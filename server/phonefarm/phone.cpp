#include "server/phonefarm/phone.h"

#include "server/phonefarm/screen.h"
#include "wire/codes.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineF>
#include <QRegularExpression>

namespace farm {

namespace {

constexpr double kTapSlop = 24.0;
constexpr int kMaxRipples = 8;

// Cursor steps that keep surrogate pairs together.
int stepLeft(const QString &text, int pos)
{
    if (pos >= 2 && text[pos - 1].isLowSurrogate() && text[pos - 2].isHighSurrogate())
        return pos - 2;
    return qMax(0, pos - 1);
}

int stepRight(const QString &text, int pos)
{
    if (pos + 1 < text.size() && text[pos].isHighSurrogate() && text[pos + 1].isLowSurrogate())
        return pos + 2;
    return qMin(text.size(), pos + 1);
}

} // namespace

const AppInfo *PhoneState::app(const QString &package) const
{
    for (const AppInfo &a : apps) {
        if (a.package == package)
            return &a;
    }
    return nullptr;
}

int PhoneState::rotation() const
{
    if (view != View::App)
        return 0;
    const AppInfo *a = app(foreground);
    return a && a->landscape ? 1 : 0;
}

QSize mixedScreenSize(const QString &deviceId)
{
    static const QSize sizes[] = {{720, 1280}, {540, 960}, {1080, 1920}};
    return deviceId.isEmpty() ? sizes[0] : sizes[deviceId.back().unicode() % 3];
}

QSize PhoneState::screenSize() const
{
    return rotation() == 1 ? panel.transposed() : panel;
}

QSize PhoneState::layoutSize() const
{
    return rotation() == 1 ? QSize(kScreenHeight, kScreenWidth) : QSize(kScreenWidth, kScreenHeight);
}

Phone::Phone(const QString &deviceId, const QSize &panel)
{
    s_.deviceId = deviceId;
    s_.panel = panel;
    s_.wallpaper = wallpaperColor(deviceId);
    factoryState();
}

// Caller holds mutex_ (or is the constructor).
void Phone::factoryState()
{
    const QString id = s_.deviceId;
    const QSize panel = s_.panel;
    const QColor wallpaper = s_.wallpaper;
    const quint64 version = s_.version;
    s_ = PhoneState();
    s_.deviceId = id;
    s_.panel = panel;
    s_.wallpaper = wallpaper;
    s_.apps = factoryApps(id);
    s_.version = version + 1;
}

int Phone::status(qint64 nowMs) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return nowMs < offlineUntilMs_ ? offlineStatus_ : 1;
}

void Phone::restart(qint64 nowMs, qint64 durationMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A reboot ends every running app; installed apps and saved text stay.
    s_.view = View::Launcher;
    s_.foreground.clear();
    s_.recents.clear();
    s_.ripples.clear();
    s_.pressed = Hit();
    s_.remoteUser.clear();
    ++s_.version;
    // A restart during a reset must not cut the reset short.
    offlineStatus_ = nowMs < offlineUntilMs_ && offlineStatus_ == 4 ? 4 : 3;
    offlineUntilMs_ = qMax(offlineUntilMs_, nowMs + durationMs);
}

void Phone::reset(qint64 nowMs, qint64 durationMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    factoryState();
    offlineStatus_ = 4;
    offlineUntilMs_ = qMax(offlineUntilMs_, nowMs + durationMs);
}

void Phone::openApp(const QString &package, qint64 nowMs)
{
    if (!s_.recents.contains(package))
        s_.appOpenedMs = nowMs; // a fresh start; a resumed app carries on
    s_.recents.removeAll(package);
    s_.recents.prepend(package);
    s_.foreground = package;
    s_.view = View::App;
    ++s_.version;
}

void Phone::back()
{
    if (s_.view == View::Recents)
        s_.view = s_.viewBeforeRecents == View::App && !s_.foreground.isEmpty() ? View::App : View::Launcher;
    else if (s_.view == View::App)
        s_.view = View::Launcher;
    ++s_.version;
}

void Phone::home()
{
    s_.view = View::Launcher;
    ++s_.version;
}

void Phone::showRecents()
{
    if (s_.view != View::Recents)
        s_.viewBeforeRecents = s_.view;
    s_.view = View::Recents;
    ++s_.version;
}

void Phone::stopApp(const QString &package)
{
    s_.recents.removeAll(package);
    if (s_.foreground == package) {
        s_.foreground.clear();
        if (s_.view == View::App)
            s_.view = View::Launcher;
    }
    ++s_.version;
}

int Phone::key(const ccwire::KeyEvent &event, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.action != 1)
        return 0; // releases change nothing on screen
    const bool editing =
        s_.view == View::App && s_.app(s_.foreground) && s_.app(s_.foreground)->kind == AppKind::Notes;
    QString &t = s_.text;
    int &c = s_.cursor;
    switch (event.code) {
    case 3:
        home();
        return 0;
    case 4:
        back();
        return 0;
    case 187:
        showRecents();
        return 0;
    case 24:
    case 25:
        s_.volume = qBound(0, s_.volume + (event.code == 24 ? 1 : -1), 15);
        s_.volumeUntilMs = nowMs + kVolumeShownMs;
        ++s_.version;
        return 0;
    default:
        break;
    }
    if (!editing)
        return 0;
    switch (event.code) {
    case 67: { // DEL
        const int from = stepLeft(t, c);
        t.remove(from, c - from);
        c = from;
        break;
    }
    case 112: // FORWARD_DEL
        t.remove(c, stepRight(t, c) - c);
        break;
    case 66: // ENTER
        if (t.size() < kMaxTextChars) {
            t.insert(c, QLatin1Char('\n'));
            ++c;
        }
        break;
    case 21:
        c = stepLeft(t, c);
        break;
    case 22:
        c = stepRight(t, c);
        break;
    case 19:
        c = 0;
        break;
    case 20:
        c = t.size();
        break;
    default:
        return 0;
    }
    ++s_.version;
    return 0;
}

int Phone::functionKey(int code, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    switch (code) {
    case CC_KEY_BACK:
        back();
        return 0;
    case CC_KEY_HOMEPAGE:
        home();
        return 0;
    case CC_KEY_APPSELECT:
        showRecents();
        return 0;
    case CC_KEY_VOLUMEUP:
    case CC_KEY_VOLUMEDOWN:
        s_.volume = qBound(0, s_.volume + (code == CC_KEY_VOLUMEUP ? 1 : -1), 15);
        s_.volumeUntilMs = nowMs + kVolumeShownMs;
        ++s_.version;
        return 0;
    default:
        return CC_ERR_BAD_ARGUMENT;
    }
}

int Phone::text(const QByteArray &utf8, qint64)
{
    QString incoming = QString::fromUtf8(utf8);
    // Invalid UTF-8 decodes to replacement characters and no longer matches.
    if (incoming.toUtf8() != utf8)
        return CC_ERR_BAD_ARGUMENT;
    incoming.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    std::lock_guard<std::mutex> lock(mutex_);
    const AppInfo *front = s_.view == View::App ? s_.app(s_.foreground) : nullptr;
    if (!front || front->kind != AppKind::Notes)
        return 0; // no text field has focus; the keyboard drops it
    if (s_.text.size() + incoming.size() > kMaxTextChars)
        return CC_ERR_BAD_ARGUMENT;
    s_.text.insert(s_.cursor, incoming);
    s_.cursor += incoming.size();
    ++s_.version;
    return 0;
}

void Phone::pruneRipples(qint64 nowMs)
{
    for (int i = s_.ripples.size() - 1; i >= 0; --i) {
        if (s_.ripples[i].endMs != 0 && nowMs > s_.ripples[i].endMs + kRippleFadeMs)
            s_.ripples.removeAt(i);
    }
    while (s_.ripples.size() > kMaxRipples)
        s_.ripples.removeFirst();
}

int Phone::touch(const ccwire::Touch &touch, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // The same share of the screen on every phone, whatever its size; the layout works in its units.
    const QSize screen = s_.screenSize();
    const QPointF pos = QPointF(touch.x / double(ccwire::kTouchSpan) * (screen.width() - 1),
                                touch.y / double(ccwire::kTouchSpan) * (screen.height() - 1)) /
                        s_.scale();
    pruneRipples(nowMs);
    switch (touch.action) {
    case ccwire::TouchAction::Down:
        s_.pressed = hitTest(s_, pos);
        s_.pressPos = pos;
        s_.ripples.append(Ripple{pos, nowMs, 0});
        break;
    case ccwire::TouchAction::Move:
        if (!s_.ripples.isEmpty() && s_.ripples.last().endMs == 0)
            s_.ripples.last().pos = pos;
        if (QLineF(pos, s_.pressPos).length() > kTapSlop)
            s_.pressed = Hit();
        break;
    case ccwire::TouchAction::Up: {
        if (!s_.ripples.isEmpty() && s_.ripples.last().endMs == 0) {
            s_.ripples.last().pos = pos;
            s_.ripples.last().endMs = nowMs;
        } else {
            s_.ripples.append(Ripple{pos, nowMs, nowMs});
        }
        const Hit pressed = s_.pressed;
        s_.pressed = Hit();
        if (pressed.kind != Hit::None && hitTest(s_, pos) == pressed)
            activate(pressed, nowMs);
        break;
    }
    }
    ++s_.version;
    return 0;
}

// Caller holds mutex_.
void Phone::activate(const Hit &hit, qint64 nowMs)
{
    switch (hit.kind) {
    case Hit::Icon:
        if (hit.index >= 0 && hit.index < s_.apps.size())
            openApp(s_.apps[hit.index].package, nowMs);
        break;
    case Hit::NavBack:
    case Hit::AppBack:
        back();
        break;
    case Hit::NavHome:
        home();
        break;
    case Hit::NavRecents:
        showRecents();
        break;
    case Hit::AppButton:
        ++s_.taps[s_.foreground];
        break;
    case Hit::ClearText:
        s_.text.clear();
        s_.cursor = 0;
        break;
    case Hit::RecentCard:
        if (hit.index >= 0 && hit.index < s_.recents.size())
            openApp(s_.recents[hit.index], nowMs);
        break;
    case Hit::ClearAll:
        s_.recents.clear();
        s_.foreground.clear();
        s_.view = View::Launcher;
        break;
    case Hit::None:
        break;
    }
}

int Phone::login(const QByteArray &json, QByteArray *answer)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return CC_ERR_BAD_ARGUMENT;
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString user = doc.object().value(QStringLiteral("host")).toString().remove(unsafe).left(32);
    if (user.isEmpty())
        user = QStringLiteral("remote");
    std::lock_guard<std::mutex> lock(mutex_);
    s_.remoteUser = user;
    ++s_.version;
    // Operators read from the log when each phone was taken over, and in which order.
    qInfo("login %s by %s at %lld ms", qPrintable(s_.deviceId), qPrintable(user),
          QDateTime::currentMSecsSinceEpoch());
    *answer = QJsonDocument(QJsonObject{{QStringLiteral("deviceId"), s_.deviceId},
                                        {QStringLiteral("user"), user},
                                        {QStringLiteral("loggedIn"), true}})
                  .toJson(QJsonDocument::Compact);
    return 0;
}

QByteArray Phone::packageList() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    QStringList entries;
    for (const AppInfo &a : s_.apps)
        entries << a.version + QLatin1Char('|') + a.package + QLatin1Char('|') + a.label;
    return entries.join(QLatin1Char(',')).toUtf8();
}

void Phone::addDownload(const QString &fileName)
{
    std::lock_guard<std::mutex> lock(mutex_);
    s_.downloads.removeAll(fileName);
    s_.downloads.append(fileName);
    while (s_.downloads.size() > kMaxDownloads)
        s_.downloads.removeFirst();
    ++s_.version;
}

void Phone::install(const AppInfo &app)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (AppInfo &existing : s_.apps) {
        if (existing.package == app.package) {
            existing = app;
            stopApp(app.package);
            return;
        }
    }
    s_.apps.append(app);
    ++s_.version;
}

PhoneState Phone::snapshot(qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pruneRipples(nowMs);
    return s_;
}

quint64 Phone::visualKey(qint64 nowMs) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    quint64 key = s_.version * 1000003ULL;
    bool moving = false;
    for (const Ripple &r : s_.ripples)
        moving = moving || r.endMs == 0 || nowMs <= r.endMs + kRippleFadeMs;
    const AppInfo *front = s_.view == View::App ? s_.app(s_.foreground) : nullptr;
    if (front && animates(front->kind))
        moving = true;
    if (moving)
        return key ^ quint64(nowMs / 16) << 20;                    // a new picture every 60 Hz tick
    key ^= quint64(QDateTime::currentSecsSinceEpoch() / 60) << 32; // the status bar clock
    if (front && front->kind == AppKind::Notes)
        key ^= quint64(nowMs / 500) << 8; // cursor blink
    if (nowMs < s_.volumeUntilMs)
        key ^= 0x5a5a;
    return key;
}

} // namespace farm
