#include "sim/cli/capture_run.h"

#include "capture/capture.h"

namespace capture {

sim::Outcome Run(const sim::Machine& machine, const std::string& command_line,
                 sim::RunOptions options) {
    sim::Machine m = machine;
    m.command_line = command_line;
    options.program = CaptureMain;
    return sim::Run(m, options);
}

sim::Bytes Output(const sim::Outcome& outcome) {
    for (size_t i = 0; i < outcome.events.size(); ++i)
        if (outcome.events.TypeAt(i) == "file_written") return outcome.events[i].GetStr("data");
    return outcome.Stdout();
}

sim::Bytes Errors(const sim::Outcome& outcome) {
    sim::Bytes out;
    for (size_t i = 0; i < outcome.events.size(); ++i)
        if (outcome.events.TypeAt(i) == "stderr") out += outcome.events[i].GetStr("text");
    return out;
}

}  // namespace capture
