#pragma once

namespace platform {

// Number of logical processors the system reports; at least 1.
int logicalProcessorCount();

} // namespace platform
