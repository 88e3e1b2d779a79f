#pragma once

namespace bench {

// Runs the stream mode of bench_video and prints its figures; the exit code.
// GUI thread of a QApplication.
int streamSsim(int frames);

} // namespace bench
