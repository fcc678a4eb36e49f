// Comparing a run with the `[expect]` table of its machine file.
#ifndef VNTR_SIM_EXPECT_H
#define VNTR_SIM_EXPECT_H

#include <string>
#include <vector>

#include "sim/machine_file.h"
#include "sim/runner.h"

namespace sim {

// What a run showed, in the terms of `[expect]`.
struct Observed {
    std::string outcome;
    std::vector<std::string> boxes;    // UTF-8; kAbsentText for a box without text
    std::vector<std::string> changes;  // ChangeLine() of each change
    std::vector<std::string> trace;    // Visible() lines, CR LF ends taken off
};
Observed Observe(const Machine& machine, const Outcome& outcome);

// Lines that describe every difference, readably; empty when the run is as
// expected. Only what the table gives is compared.
std::vector<std::string> Differences(const Expectation& expect, const Observed& seen);

// An `[expect]` table that says what this run did (the trace included).
std::string ExpectTable(const Observed& seen);

}  // namespace sim

#endif
