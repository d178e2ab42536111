// Linux backend, internal: starting a program without a shell, for the shell's "open" and for
// systemctl, and the descriptor limit the process hands on to what it starts.
#pragma once

#include <sys/types.h>

namespace plat::lnx {

// Raises the soft limit on open descriptors to the hard one, for this process alone: every
// task holds a few descriptors, so a few hundred tasks pass the usual soft limit of 1024.
// Programs started by SpawnProgram get the soft limit the process had before. Called once,
// first thing in main, while there is one thread.
void RaiseDescriptorLimit();

struct SpawnRequest {
  const char* program = nullptr;  // a path; a bare name is looked up in $PATH when searchPath
  char* const* argv = nullptr;    // ended by a null pointer
  bool searchPath = false;
  int stdinFd = -1;   // becomes the child's standard input, when not -1
  int stdoutFd = -1;  // becomes the child's standard output, when not -1
  bool newSession = false;
};

// Starts the program with this process's environment. The child gets every signal at its
// default and none blocked, no descriptor above standard error, and the descriptor limit of
// before RaiseDescriptorLimit. Returns 0 with *pid once the program runs, or the errno value
// that stopped it (exec failures included; no child is left then).
int SpawnProgram(const SpawnRequest& request, pid_t* pid);

// For tests: whether this thread's last SpawnProgram that made a child had the child's answer
// from shared memory at once (where vfork shares it), rather than waiting on the pipe.
bool LastSpawnReportedInMemory();

}  // namespace plat::lnx
