#pragma once

// The apps a simulated phone can have: the factory set, chosen per phone from
// its id, and apps installed from simulated APK files.

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QString>

namespace farm {

enum class AppKind
{
    Generic,  // icon, a few rows and a tap counter
    Notes,    // a text field that takes typed and pasted text
    Clock,    // a running stopwatch: animates continuously
    Racer,    // a landscape game: turns the screen and animates
    Settings, // the phone's own details
    Feed,     // posts with photos, scrolled as by a flicking finger
    Video,    // a full-screen landscape video
};

// Whether the app's picture changes on every tick while it is in front.
bool animates(AppKind kind);

struct AppInfo
{
    QString package;
    QString label;
    QString version;
    QColor color;
    AppKind kind = AppKind::Generic;
    bool landscape = false;
};

// Factory apps of a phone: a fixed core plus extras picked from the id.
QList<AppInfo> factoryApps(const QString &deviceId);
// Wallpaper colour of a phone, derived from its id.
QColor wallpaperColor(const QString &deviceId);

// A simulated APK: a text header, then anything.
//   PMAPK 1
//   package: com.example.app
//   label: Example
//   version: 1.0            (optional)
//   color: #3366cc          (optional)
//   orientation: landscape  (optional)
//   <empty line>
// Returns false with a reason when the file is not one.
bool parseApk(const QByteArray &content, AppInfo *app, QString *error);

bool isValidPackageName(const QString &name);

} // namespace farm
