// Human-readable rendering of a simulated run.
#ifndef VNTR_SIM_REPORT_H
#define VNTR_SIM_REPORT_H

#include <ostream>
#include <string>
#include <vector>

#include "sim/runner.h"

// One line (or a few, for boxes) describing an event; texts of the machine
// are shown in UTF-8 through its code page.
std::string DescribeEvent(const sim::Event& event, uint32_t codepage);
std::string DescribeBox(const sim::Event& box, uint32_t codepage);

void PrintReport(std::ostream& out, const sim::Machine& machine, const sim::Outcome& outcome);

#endif
