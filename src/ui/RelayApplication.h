#pragma once
#include "ui/RelayService.h"

namespace swn {

// Runs the relay until Exit, a close, SIGTERM or SIGINT; the last three save the settings first,
// as closing the window does. With --headless it runs without any window or display and writes
// its log to stderr. Without a tracker factory in `options` it uses the tracker's files
// (--tracker-root, or the configured folder). Returns the process exit code.
int RunRelayApplication(int& argc, char** argv, RelayServiceOptions options);

} // namespace swn
