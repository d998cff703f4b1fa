// Running the application on Qt's event loop: with the tray icon, or headless (everything but the tray;
// each status change becomes a log line). Without a display the program runs headless by itself.
#pragma once

#include "app/Options.hpp"

namespace joyrelay {

// Runs until the Quit entry, SIGINT or SIGTERM (or, headless, the end of a replayed capture), then
// releases every held key, logs "quit" and returns the exit status. `argv0` names the program to Qt.
int runApp(const Options& options, char* argv0);

}  // namespace joyrelay
