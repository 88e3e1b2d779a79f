#pragma once

// What the left panel's source files share; not part of its API.

#include <QString>

namespace leftpanel {

extern const char *const panelStyle;

inline const QString sortNames[] = {QStringLiteral("默认排序"), QStringLiteral("时间升序"),
                                    QStringLiteral("时间降序"), QStringLiteral("名称升序"),
                                    QStringLiteral("名称降序")};

inline const QString keyType = QStringLiteral("type");
inline const QString keyOrderId = QStringLiteral("orderId");
inline const QString keyCloudId = QStringLiteral("cloudId");

} // namespace leftpanel
