#include "server/phonefarm/catalog.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace farm {

namespace {

AppInfo app(const char *package, const QString &label, const char *version, QRgb color,
            AppKind kind = AppKind::Generic, bool landscape = false)
{
    return AppInfo{
        QString::fromLatin1(package), label, QString::fromLatin1(version), QColor(color), kind, landscape};
}

QList<AppInfo> coreApps()
{
    return {
        app("com.pmapps.settings", QStringLiteral("设置"), "12.0", 0x607d8b, AppKind::Settings),
        app("com.pmapps.notes", QStringLiteral("便签"), "3.2.1", 0xf4b400, AppKind::Notes),
        app("com.pmapps.clock", QStringLiteral("时钟"), "2.0.4", 0x3f51b5, AppKind::Clock),
        app("com.pmapps.racer", QStringLiteral("赛车"), "1.7.0", 0xe53935, AppKind::Racer, true),
        app("com.pmapps.browser", QStringLiteral("浏览器"), "96.1", 0x1e88e5),
        app("com.pmapps.feed", QStringLiteral("资讯"), "5.4.2", 0xff6f00, AppKind::Feed),
        app("com.pmapps.video", QStringLiteral("视频"), "3.0.7", 0x00acc1, AppKind::Video, true),
    };
}

QList<AppInfo> extraApps()
{
    return {
        app("com.pmapps.camera", QStringLiteral("相机"), "5.1", 0x455a64),
        app("com.pmapps.gallery", QStringLiteral("相册"), "4.0.2", 0x8e24aa),
        app("com.pmapps.music", QStringLiteral("音乐"), "8.3", 0xd81b60),
        app("com.pmapps.weather", QStringLiteral("天气"), "2.9", 0x039be5),
        app("com.pmapps.mail", QStringLiteral("邮件"), "6.0.1", 0x00897b),
        app("com.pmapps.maps", QStringLiteral("地图"), "11.4", 0x43a047),
        app("com.pmapps.calc", QStringLiteral("计算器"), "1.2", 0x6d4c41),
        app("com.pmapps.shop", QStringLiteral("商城"), "3.3.0", 0xfb8c00),
    };
}

QByteArray idHash(const QString &deviceId)
{
    return QCryptographicHash::hash(deviceId.toUtf8(), QCryptographicHash::Sha256);
}

} // namespace

bool animates(AppKind kind)
{
    return kind == AppKind::Clock || kind == AppKind::Racer || kind == AppKind::Feed ||
           kind == AppKind::Video;
}

QList<AppInfo> factoryApps(const QString &deviceId)
{
    QList<AppInfo> apps = coreApps();
    const QByteArray h = idHash(deviceId);
    const QList<AppInfo> extras = extraApps();
    for (int i = 0; i < extras.size(); ++i) {
        if (quint8(h[i]) & 1)
            apps.append(extras[i]);
    }
    return apps;
}

QColor wallpaperColor(const QString &deviceId)
{
    const QByteArray h = idHash(deviceId);
    const int hue = (quint8(h[20]) << 8 | quint8(h[21])) % 360;
    return QColor::fromHsv(hue, 150, 170);
}

bool isValidPackageName(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z][A-Za-z0-9_]*(\\.[A-Za-z][A-Za-z0-9_]*)+$"));
    return name.size() <= 127 && re.match(name).hasMatch();
}

bool parseApk(const QByteArray &content, AppInfo *out, QString *error)
{
    constexpr int kMaxHeader = 4096;
    const QByteArray head = content.left(kMaxHeader);
    QList<QByteArray> lines = head.split('\n');
    if (lines.isEmpty() || lines[0].trimmed() != "PMAPK 1") {
        *error = QStringLiteral("INSTALL_FAILED_INVALID_APK: not an APK file");
        return false;
    }
    int end = 1;
    while (end < lines.size() && !lines[end].trimmed().isEmpty())
        ++end;
    if (end == lines.size() && content.size() > kMaxHeader) {
        *error = QStringLiteral("INSTALL_FAILED_INVALID_APK: manifest too large");
        return false;
    }
    AppInfo app;
    app.color = QColor(0x546e7a);
    app.version = QStringLiteral("1.0");
    for (int i = 1; i < end; ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = lines[i].left(colon).trimmed();
        const QString value = QString::fromUtf8(lines[i].mid(colon + 1)).trimmed();
        if (key == "package")
            app.package = value;
        else if (key == "label")
            app.label = value;
        else if (key == "version")
            app.version = value;
        else if (key == "color" && QColor::isValidColor(value))
            app.color = QColor(value);
        else if (key == "orientation")
            app.landscape = value == QLatin1String("landscape");
    }
    if (!isValidPackageName(app.package)) {
        *error = QStringLiteral("INSTALL_PARSE_FAILED_BAD_PACKAGE_NAME: %1").arg(app.package.left(127));
        return false;
    }
    // The label ends up in "version|package|label" lists joined by ",": the
    // separators and control characters cannot be part of it.
    static const QRegularExpression unsafe(QStringLiteral("[|,\\x00-\\x1f\\x7f]"));
    app.label = app.label.replace(unsafe, QStringLiteral(" ")).simplified().left(32);
    if (app.label.isEmpty())
        app.label = app.package.section(QLatin1Char('.'), -1);
    static const QRegularExpression versionRe(QStringLiteral("^[0-9A-Za-z._-]{1,32}$"));
    if (!versionRe.match(app.version).hasMatch())
        app.version = QStringLiteral("1.0");
    app.kind = app.landscape ? AppKind::Racer : AppKind::Generic;
    *out = app;
    return true;
}

} // namespace farm
