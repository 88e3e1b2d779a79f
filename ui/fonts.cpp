#include "ui/fonts.h"

#include "app/theme.h"

#include <QFont>
#include <QStringList>

void installFontSubstitutions()
{
    const QStringList cjk{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans CJK TC"),
                          QStringLiteral("Noto Sans CJK JP")};
    for (const QString &family :
         {QString::fromLatin1(theme::font), QStringLiteral("宋体"), QStringLiteral("SimSun")})
        QFont::insertSubstitutions(family, cjk);
}
