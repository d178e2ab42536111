// The process as the program's entry sees it: what is set up before the program runs, and the
// command line as the system keeps it.
#pragma once

namespace plat {

// Sets the process up for the program. Called once, first thing in the entry, while there is
// one thread. Linux: raises the soft limit on open descriptors to the hard one, for this
// process alone (every task holds a few, so a few hundred tasks pass the usual 1024); the
// programs it starts get the limit of before. Windows: nothing needs setting up.
void PrepareProcess();

// The process's whole command line, program name first, as the system keeps it (Windows).
// Null where the system keeps none and a program gets its arguments one by one (Linux).
const char* WholeCommandLine();

}  // namespace plat
