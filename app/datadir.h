#pragma once

#include <QString>

// The per-user data directory, created (owner-only) if missing, without a trailing separator.
// Computed on every call; any thread.
QString dataDirectory();
