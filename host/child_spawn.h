// Starting a child with pipes on its standard input and output.
#pragma once

#include "fd.h"

#include <sys/types.h>

namespace plughost {

// The byte the host puts into every child's stdout pipe before the child runs.
inline constexpr unsigned char kStartByte = 'S';

// Capacity asked for each child pipe; the system may refuse it.
inline constexpr int kChildPipeSize = 1024 * 1024;

struct SpawnedChild {
    pid_t pid = 0;    // > 0 on success
    int error = 0;    // SPAWN_NOT_EXECUTABLE or SPAWN_NO_RESOURCES on failure
    Fd pidfd;         // readable once the child has exited
    Fd stdinWrite;    // parent's end, non-blocking
    Fd stdoutRead;    // parent's end, non-blocking; the start byte is waiting in it
    Fd stderrRead;    // parent's end, non-blocking
};

// Starts argv[0] (a path when it holds '/', else searched in PATH). The child
// gets blocking pipe ends as stdin, stdout and stderr, and starts with an
// empty signal mask and default signal dispositions. A program that cannot be
// executed is reported here, never as a child that exits.
SpawnedChild spawnChild(char *const argv[]);

} // namespace plughost
