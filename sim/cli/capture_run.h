// The machine capture program (vntrcapture's own code) run over a simulated
// machine, and what it wrote.
#ifndef VNTR_CAPTURE_RUN_H
#define VNTR_CAPTURE_RUN_H

#include <string>

#include "sim/runner.h"

namespace capture {

// Runs the capture on `machine` with `command_line` (the program's
// arguments: nothing, or the file to write), in a child process as every
// simulated run.
sim::Outcome Run(const sim::Machine& machine, const std::string& command_line = "",
                 sim::RunOptions options = {});

// The machine file the capture wrote: the file it created, or else its
// standard output.
sim::Bytes Output(const sim::Outcome& outcome);

// What it wrote to standard error.
sim::Bytes Errors(const sim::Outcome& outcome);

}  // namespace capture

#endif  // VNTR_CAPTURE_RUN_H
