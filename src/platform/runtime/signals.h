#pragma once

// The signals by which a desktop or a terminal asks a program to stop (SIGTERM at
// log-out, SIGINT for Ctrl+C) end this one as End does: every window goes, the event
// loop leaves with status 0 and Qt shuts down as usual (the clipboard is handed over).
// A second such signal, should the first not have ended the program, kills it at once.
namespace kv {

// Called once the application object exists; the signals are acted on in its event loop.
void endOnTerminationSignals();

} // namespace kv
