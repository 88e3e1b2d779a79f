#include "ui/fonts.h"

#include <QFont>
#include <QStringList>

void installFontSubstitutions()
{
    const QStringList cjk{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans CJK TC"),
                          QStringLiteral("Noto Sans CJK JP")};
    for (const QString &family :
         {QStringLiteral("Microsoft YaHei"), QStringLiteral("宋体"), QStringLiteral("SimSun")})
        QFont::insertSubstitutions(family, cjk);
}
