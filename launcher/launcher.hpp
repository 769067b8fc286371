// The embedding entry shared by the program and its test runner.
#pragma once

#include <cwchar>

namespace velmora {

// What the loader runs once the application modules are importable: the program's
// main module, or pytest over the arguments (the test runner's entry).
enum class Entry { Application, Tests };

// Set by the entry point before the interpreter starts; read by the loader's body.
extern Entry entry;

// The launcher steps: set up the interpreter with the arguments, import the loader as
// the main program, finalise. Answers the process exit code.
int wmain(int argc, wchar_t **argv);

// A plain `main` takes the place of the wide-character entry: it decodes the
// arguments as the interpreter decodes its own command line and calls `wmain`.
int mainFromBytes(int argc, char **argv);

}  // namespace velmora
