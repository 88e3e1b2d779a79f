#pragma once

#include <QString>

// The client's colours and font, named once for code (QColor(theme::accent)) and for style sheets,
// which write them as @name and are set through styled().
namespace theme {

// Title bars, primary buttons, selected items.
constexpr char accent[] = "#19C2D1";
// Buttons in the accent colour under the mouse.
constexpr char accentHover[] = "#44CDD9";
// The login form's links and buttons under the mouse or waiting.
constexpr char accentLight[] = "#68DEE8";
// What is chosen or ticked: check boxes, the login form's current tab, the tip's band.
constexpr char mark[] = "#18C2D0";
// Borders of fields and buttons, separator lines.
constexpr char line[] = "#D9D9D9";
// Borders of dialog rows and tables.
constexpr char faintLine[] = "#F0F0F0";
// White title-bar buttons under the mouse.
constexpr char titleHover[] = "#FFE984";
// Error and refusal texts.
constexpr char warning[] = "#FF0000";
// Drop shadows (#AARRGGBB).
constexpr char shadow[] = "#32000000";

// The forms' font family.
constexpr char font[] = "Microsoft YaHei";

// Any thread. `sheet` with every @name above replaced by its value; other text is left as it is.
QString styled(const QString &sheet);

} // namespace theme
