// Comparing a run with the `[expect]` table of its machine file.
#ifndef VNTR_SIM_EXPECT_H
#define VNTR_SIM_EXPECT_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/machine_file.h"
#include "sim/runner.h"

namespace sim {

// What a run showed, in the terms of `[expect]`: texts as the bytes the
// program wrote, in the machine's code page.
struct Observed {
    uint32_t codepage = 1252;   // of every text below
    bool finished = true;       // the program returned: the outcome is one of [expect]'s
    std::string outcome;        // or "(none: STATUS)" for a run that did not finish
    std::string status = "ok";  // the run's, as Outcome::status
    std::vector<std::optional<Bytes>> boxes;  // none for a box without text
    TextList changes;                         // ChangeBytes() of each change
    TextList trace;                           // standard output lines, CR LF ends taken off
    TextList after_restart;                   // AfterRestartBytes() of each prediction
};
Observed Observe(const Machine& machine, const Outcome& outcome);

// Lines that describe every difference, readably; empty when the run is as
// expected. Only what the table gives is compared, byte for byte. Each
// changed stretch shows what was expected and what the run did.
std::vector<std::string> Differences(const Expectation& expect, const Observed& seen);

// An `[expect]` table that says what a finished run did (the trace
// included), which the machine-file reader takes back as it was: texts
// that are no text of the code page are written as { hex = ".." }. Empty
// for a run that did not finish, which no table describes.
std::string ExpectTable(const Observed& seen);
// The same written to `out` as it is made.
void WriteExpectTable(std::ostream& out, const Observed& seen);

}  // namespace sim

#endif
