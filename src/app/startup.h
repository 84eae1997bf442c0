#pragma once
#include <QByteArray>
#include <optional>

namespace kv {

// Starts the program: creates the main window's instance, loads it (its Load event
// runs) and shows it, then runs events until the program ends. Qt's own options are
// taken from the command line first; the first argument left, if any, names a figure
// or a folder to open (see startProgram). Returns the exit status: 0 when the program
// ended normally, 1 when the main window could not be loaded.
int runProgram(int argc, char** argv);

// The start itself, once the application object exists. `argument` is the file or
// folder given on the command line, as the bytes the system gave. One that does not
// exist or cannot be read gives its run-time error's message first, then the start is
// as without it. Otherwise, after the usual start, the lists go to its drive and folder
// as a user would take them there, and a file is chosen as by a click in the file list.
// Returns false when the main window could not be loaded.
bool startProgram(const std::optional<QByteArray>& argument);

} // namespace kv
