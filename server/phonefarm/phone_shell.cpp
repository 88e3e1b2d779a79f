// The phone's shell commands and its view-hierarchy dump: the text interface that scripts and tests
// drive, apart from the touch and key handling in phone.cpp.
#include "server/phonefarm/phone.h"

#include "server/phonefarm/screen.h"
#include "wire/codes.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace farm {

namespace {

// Splits a command line at blanks; single and double quotes group words.
QStringList splitArgs(const QString &line, bool *ok)
{
    QStringList args;
    QString current;
    bool inWord = false;
    QChar quote;
    for (const QChar c : line) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                current += c;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                args << current;
            current.clear();
            inWord = false;
        } else {
            current += c;
            inWord = true;
        }
    }
    if (inWord)
        args << current;
    *ok = quote.isNull();
    return args;
}

QString xmlEscape(const QString &text)
{
    QString out = text.toHtmlEscaped();
    out.replace(QLatin1Char('\n'), QStringLiteral("&#10;"));
    return out;
}

QString bounds(const QRectF &r)
{
    return QStringLiteral("[%1,%2][%3,%4]")
        .arg(int(r.left()))
        .arg(int(r.top()))
        .arg(int(r.right()))
        .arg(int(r.bottom()));
}

} // namespace

int Phone::shell(const QByteArray &command, qint64 nowMs, QByteArray *output)
{
    QString line = QString::fromUtf8(command).trimmed();
    bool quotesClosed = true;
    const QStringList args = splitArgs(line, &quotesClosed);
    if (args.isEmpty())
        return CC_ERR_BAD_ARGUMENT;
    if (!quotesClosed) {
        *output = "/system/bin/sh: syntax error: unterminated quoted string\n";
        return CC_ERR_COMMAND_FAILED;
    }
    const QString cmd = args[0];
    auto fail = [output](const QString &text) {
        *output = text.toUtf8() + '\n';
        return CC_ERR_COMMAND_FAILED;
    };
    auto say = [output](const QString &text) {
        *output = text.isEmpty() ? QByteArray() : text.toUtf8() + '\n';
        return 0;
    };

    std::lock_guard<std::mutex> lock(mutex_);
    if (cmd == QLatin1String("monkey")) {
        const int p = args.indexOf(QStringLiteral("-p"));
        if (p < 0 || p + 1 >= args.size())
            return fail(QStringLiteral("** Error: no package given to monkey"));
        if (!s_.app(args[p + 1]))
            return fail(QStringLiteral("** No activities found to run, monkey aborted."));
        openApp(args[p + 1], nowMs);
        return say(QStringLiteral("Events injected: 1"));
    }
    if (cmd == QLatin1String("am")) {
        if (args.size() == 3 && args[1] == QLatin1String("force-stop")) {
            stopApp(args[2]);
            return say(QString());
        }
        if (args.size() == 4 && args[1] == QLatin1String("start") && args[2] == QLatin1String("-n")) {
            const QString package = args[3].section(QLatin1Char('/'), 0, 0);
            if (!s_.app(package))
                return fail(QStringLiteral("Error: Activity class {%1} does not exist.").arg(args[3]));
            openApp(package, nowMs);
            return say(QStringLiteral("Starting: Intent { cmp=%1 }").arg(args[3]));
        }
        return fail(QStringLiteral("am: unknown or incomplete command"));
    }
    if (cmd == QLatin1String("pm")) {
        if (args.size() >= 2 && args[1] == QLatin1String("list") &&
            args.value(2) == QLatin1String("packages")) {
            QStringList lines;
            for (const AppInfo &a : qAsConst(s_.apps)) {
                if (args.size() < 4 || a.package.contains(args[3]))
                    lines << QStringLiteral("package:") + a.package;
            }
            return say(lines.join(QLatin1Char('\n')));
        }
        if (args.size() >= 3 && args[1] == QLatin1String("uninstall")) {
            QString package;
            for (int i = 2; i < args.size(); ++i) {
                if (args[i] == QLatin1String("--user"))
                    ++i;
                else if (args[i] != QLatin1String("-k"))
                    package = args[i];
            }
            for (int i = 0; i < s_.apps.size(); ++i) {
                if (s_.apps[i].package == package) {
                    stopApp(package);
                    s_.apps.removeAt(i);
                    s_.taps.remove(package);
                    return say(QStringLiteral("Success"));
                }
            }
            return fail(QStringLiteral("Failure [not installed for 0]"));
        }
        return fail(QStringLiteral("pm: unknown or incomplete command"));
    }
    static const QString adb = QStringLiteral("com.android.adbkeyboard/.AdbIME");
    static const QString stock = QStringLiteral("com.pmapps.keyboard/.StockIME");
    if (cmd == QLatin1String("ime")) {
        if (args.size() == 3 && (args[1] == QLatin1String("set") || args[1] == QLatin1String("enable"))) {
            if (args[2] != adb && args[2] != stock)
                return fail(
                    QStringLiteral("Unknown input method %1 cannot be selected for user #0").arg(args[2]));
            if (args[1] == QLatin1String("enable"))
                return say(QStringLiteral("Input method %1: already enabled for user #0").arg(args[2]));
            s_.adbIme = args[2] == adb;
            ++s_.version;
            return say(QStringLiteral("Input method %1 selected for user #0").arg(args[2]));
        }
        if (args.size() >= 2 && args[1] == QLatin1String("list"))
            return say(adb + QLatin1Char('\n') + stock);
        return fail(QStringLiteral("ime: unknown or incomplete command"));
    }
    if (cmd == QLatin1String("settings") && args.size() == 4 && args[1] == QLatin1String("get") &&
        args[2] == QLatin1String("secure")) {
        if (args[3] == QLatin1String("default_input_method"))
            return say(s_.adbIme ? adb : stock);
        return say(QStringLiteral("null"));
    }
    if (cmd == QLatin1String("wm") && args.size() == 2 && args[1] == QLatin1String("size"))
        return say(QStringLiteral("Physical size: %1x%2").arg(s_.panel.width()).arg(s_.panel.height()));
    if (cmd == QLatin1String("uiautomator") && args.value(1) == QLatin1String("dump"))
        return say(QString::fromUtf8(uiDump()));
    return fail(QStringLiteral("/system/bin/sh: %1: inaccessible or not found").arg(cmd));
}

// Caller holds mutex_. The screen as a view hierarchy, for checking what a
// phone shows without looking at pixels.
QByteArray Phone::uiDump() const
{
    const double scale = s_.scale();
    // Bounds in the phone's own pixels, as a tap there would land.
    const auto bounds = [scale](const QRectF &r) {
        return farm::bounds(QRectF(r.topLeft() * scale, r.size() * scale));
    };
    QString xml = QStringLiteral("<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>"
                                 "<hierarchy rotation=\"%1\">")
                      .arg(s_.rotation());
    auto node = [&xml, &bounds](const QString &cls, const QString &package, const QString &text,
                                const QRectF &r, const QString &desc = QString()) {
        xml += QStringLiteral(
                   "<node class=\"%1\" package=\"%2\" text=\"%3\" content-desc=\"%4\" bounds=\"%5\"/>")
                   .arg(cls, package, xmlEscape(text), xmlEscape(desc), bounds(r));
    };
    const QRectF full(QPointF(0, 0), QSizeF(s_.layoutSize()));
    if (s_.view == View::Launcher) {
        xml += QStringLiteral("<node class=\"android.widget.FrameLayout\" package=\"com.pmapps.launcher\" "
                              "bounds=\"%1\">")
                   .arg(bounds(full));
        for (int i = 0; i < s_.apps.size(); ++i)
            node(QStringLiteral("android.widget.TextView"), QStringLiteral("com.pmapps.launcher"),
                 s_.apps[i].label, iconRect(i, s_.apps.size()), s_.apps[i].package);
    } else if (s_.view == View::Recents) {
        xml += QStringLiteral("<node class=\"android.widget.FrameLayout\" package=\"com.pmapps.systemui\" "
                              "bounds=\"%1\">")
                   .arg(bounds(full));
        for (int i = 0; i < s_.recents.size(); ++i) {
            const AppInfo *a = s_.app(s_.recents[i]);
            node(QStringLiteral("android.widget.TextView"), QStringLiteral("com.pmapps.systemui"),
                 a ? a->label : s_.recents[i], recentCardRect(i), s_.recents[i]);
        }
    } else {
        const AppInfo *a = s_.app(s_.foreground);
        xml += QStringLiteral("<node class=\"android.widget.FrameLayout\" package=\"%1\" bounds=\"%2\">")
                   .arg(s_.foreground, bounds(full));
        if (a) {
            node(QStringLiteral("android.widget.TextView"), a->package, a->label, QRectF());
            if (a->kind == AppKind::Notes)
                node(QStringLiteral("android.widget.EditText"), a->package, s_.text, textFieldRect());
            else if (a->kind == AppKind::Generic)
                node(QStringLiteral("android.widget.TextView"), a->package,
                     QStringLiteral("已点击 %1 次").arg(s_.taps.value(a->package)), QRectF());
        }
    }
    xml += QStringLiteral("</node></hierarchy>");
    return xml.toUtf8();
}

} // namespace farm
