// The command-line front end is built into the program, not into the engine
// library; the tests compile its sources here (once) to reach CmdApp.
#include "cli/CmdApp.cpp"
#include "cli/CmdDiagnostics.cpp"
#include "cli/CmdWords.cpp"
