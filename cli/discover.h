#pragma once
// relvane-cli --discover: asks the local networks which peers wait as
// servers on the port and prints one line per answer,
// NAME<TAB>ADDRESS<TAB>PORT, the name made safe for the terminal.

#include "cli/options.h"

namespace relvane::cli {

// Runs the search in the application's event loop. ExitOk when somebody
// answered, ExitFailure when nobody did.
[[nodiscard]] int RunDiscover(const Options& options);

} // namespace relvane::cli
