#pragma once
#include "ui/Form1.h"

namespace swn {

// Runs the relay's window until Exit, a close, SIGTERM or SIGINT; the last three save the
// settings first, as closing the window does. Without a tracker factory in `options` it uses the
// tracker's files (--tracker-root, or the configured folder). Returns the process exit code.
int RunRelayApplication(int& argc, char** argv, Form1Options options);

} // namespace swn
