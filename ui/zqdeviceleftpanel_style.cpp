#include "ui/zqdeviceleftpanel_p.h"

namespace leftpanel {

const char *const panelStyle = R"(
QWidget { font-family: "@font"; }
QTreeView#twDevice { border: none; font-size: 13px; outline: 0; }
QTreeView#twDevice::item { height: 42px; }
QTreeView#twDevice::item:selected { background: rgb(229,247,249); }
QTreeView#twDevice QHeaderView::section {
  height: 48px; font-size: 14px; background: white; border: none;
  border-bottom: 1px solid @line; }
QTreeView#twDevice::indicator, QCheckBox::indicator {
  width: 15px; height: 15px; border: 1px solid @mark; border-radius: 2px; background: white; }
QTreeView#twDevice::indicator:checked, QCheckBox::indicator:checked {
  background: @mark; image: url(:/image/image/selected.png); }
QCheckBox { font-size: 13px; }
QLabel#lblCount { font-size: 13px; }
QLineEdit#edtSearch { border: 1px solid @line; border-radius: 4px; padding: 0 8px; font-size: 12px; }
QToolButton { font-size: 13px; border: 1px solid @line; border-radius: 4px; background: white; }
QToolButton:hover { color: @accent; }
QToolButton#btnSearch { color: white; background: @accent; border: none; }
QToolButton::menu-indicator { image: none; }
QMenu { background: white; border: 1px solid @line; font-size: 13px; }
QMenu::item { padding: 10px 24px; }
QMenu::item:selected { background: @accent; color: white; }
)";

} // namespace leftpanel
