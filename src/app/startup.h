#pragma once

namespace kv {

// Starts the program: creates the main window's instance, loads it (its Load event
// runs) and shows it, then runs events until the program ends. Returns the exit status:
// 0 when the program ended normally, 1 when the main window could not be loaded.
int runProgram(int argc, char** argv);

} // namespace kv
