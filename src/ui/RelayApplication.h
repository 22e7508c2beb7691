#pragma once
#include "service/RelayService.h"

namespace swn {

// Runs the relay's window until Exit, a close, SIGTERM or SIGINT; the last three save the
// window's settings first, as closing the window does. With --headless, or without a display, it
// runs as swnrelayd does (no window, the log on stderr, the settings file only read); the queue
// verbs, --help and --version need no display either. Without a tracker factory in `options` it
// uses the tracker's files (--tracker-root, or the configured folder). Returns the process exit code.
int RunRelayApplication(int& argc, char** argv, RelayServiceOptions options);

} // namespace swn
