#include "app/theme.h"

#include <QDebug>

#include <algorithm>
#include <iterator>

namespace theme {

QString styled(const QString &sheet)
{
    static const struct
    {
        QLatin1String name;
        QLatin1String colour;
    } named[] = {{QLatin1String("accent"), QLatin1String(accent)},
                 {QLatin1String("accentHover"), QLatin1String(accentHover)},
                 {QLatin1String("accentLight"), QLatin1String(accentLight)},
                 {QLatin1String("mark"), QLatin1String(mark)},
                 {QLatin1String("line"), QLatin1String(line)},
                 {QLatin1String("faintLine"), QLatin1String(faintLine)},
                 {QLatin1String("titleHover"), QLatin1String(titleHover)},
                 {QLatin1String("warning"), QLatin1String(warning)},
                 {QLatin1String("shadow"), QLatin1String(shadow)},
                 {QLatin1String("font"), QLatin1String(font)}};
    QString out;
    out.reserve(sheet.size());
    int i = 0;
    while (i < sheet.size()) {
        const int at = sheet.indexOf(QLatin1Char('@'), i);
        if (at < 0) {
            out.append(sheet.midRef(i));
            break;
        }
        out.append(sheet.midRef(i, at - i));
        int end = at + 1;
        while (end < sheet.size() && sheet.at(end).isLetter() && sheet.at(end).unicode() < 128)
            ++end;
        const QStringRef name = sheet.midRef(at + 1, end - at - 1);
        const auto found =
            std::find_if(std::begin(named), std::end(named), [&](const auto &n) { return name == n.name; });
        if (found != std::end(named)) {
            out.append(found->colour);
        } else {
            qWarning() << "style sheet names no colour:" << name;
            out.append(sheet.midRef(at, end - at));
        }
        i = end;
    }
    return out;
}

} // namespace theme
