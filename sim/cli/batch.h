// vntrsetup-sim --batch: many --json runs in one process, for tools that run
// thousands of machines (tools/vntrsetup-matrix) and would otherwise pay a
// process start, the loading of the libraries and the reading of the
// package for each.
#ifndef VNTR_SIM_CLI_BATCH_H
#define VNTR_SIM_CLI_BATCH_H

#include "sim/cli/options.h"

namespace cli {

// Reads standard input line by line. Each line is a JSON array of strings:
// the arguments of one run, as they would follow the program's name (with
// --json or --dump-machine, so that every output is JSON, a refusal too).
// The outputs go to standard output as a JSON text sequence (RFC 7464):
// ASCII RS (0x1E), the document, LF; a line that is no such array gets the
// error object of a refused command line. A document's strings escape
// every control character, so RS never occurs inside one.
// Returns 0 once standard input ends, 5 when standard output cannot be
// written.
int RunBatch(const char* program, MainFunction main_function);

}  // namespace cli

#endif  // VNTR_SIM_CLI_BATCH_H
