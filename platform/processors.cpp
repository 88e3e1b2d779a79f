#include "platform/processors.h"

#include <thread>

namespace platform {

int logicalProcessorCount()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

} // namespace platform
