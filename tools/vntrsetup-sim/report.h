// Human-readable rendering of a simulated run.
#ifndef VNTR_SIM_REPORT_H
#define VNTR_SIM_REPORT_H

#include <ostream>
#include <string>
#include <vector>

#include "host/sim/runner.h"

// Bytes as printable text: line ends and other control characters as escapes
// (\r, \n, \t, \xNN), Latin-1 letters as themselves.
std::string Visible(const sim::Bytes& bytes);
std::string VisibleText(const sim::json& text);  // a Text() string or null

// One line (or a few, for boxes) describing an event.
std::string DescribeEvent(const sim::json& event);
std::string DescribeBox(const sim::json& box);

void PrintReport(std::ostream& out, const sim::Machine& machine, const sim::Outcome& outcome,
                 const std::vector<std::string>& warnings);

#endif
