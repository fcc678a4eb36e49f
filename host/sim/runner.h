// Runs the program over a simulated machine in a child process, so every run
// starts from fresh process state and a crash or hang of the program is seen
// and reported instead of taking the caller down.
#ifndef VNTR_SIM_RUNNER_H
#define VNTR_SIM_RUNNER_H

#include <string>
#include <vector>

#include "host/sim/runtime.h"

namespace sim {

struct Outcome {
    // "ok": the program returned; "no_answer": a Yes/No box had no answer
    // left; "crashed": the program died; "timeout": it did not finish.
    std::string status = "ok";
    std::string message;
    int exit_code = -1;
    std::vector<json> events;
    json summary;  // see Session::Summary

    std::vector<json> Of(const std::string& type) const;
    std::vector<json> Boxes() const { return Of("box"); }
    // Everything the program wrote to standard output, as bytes.
    Bytes Stdout() const;
    // Events that changed the machine: copies, new directories, registry
    // writes and deletions, driver installs, reboot requests.
    std::vector<json> Changes() const;
};

bool IsChange(const json& event);

// `timeout_seconds` bounds the whole run.
Outcome Run(const Machine& machine, const RunOptions& options = {}, int timeout_seconds = 60);

json ToJson(const Machine& machine, const Outcome& outcome);

}  // namespace sim

#endif  // VNTR_SIM_RUNNER_H
