// Linked into every fuzz target: the parsers log what they refuse, and
// printing millions of such lines would be most of the work.

#include <QtGlobal>

namespace {

void drop(QtMsgType, const QMessageLogContext &, const QString &) {}

const QtMessageHandler previous = qInstallMessageHandler(drop);

} // namespace
