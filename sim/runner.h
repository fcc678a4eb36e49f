// Runs the program over a simulated machine in a child process, so every run
// starts from fresh process state and a crash or hang of the program is seen
// and reported instead of taking the caller down.
#ifndef VNTR_SIM_RUNNER_H
#define VNTR_SIM_RUNNER_H

#include <ostream>
#include <string>
#include <vector>

#include "sim/inf.h"
#include "sim/package.h"
#include "sim/runtime.h"

namespace sim {

// What a run came to: declined, installed, staged, restart, no-controller,
// failed or nothing; empty when that cannot be told, and `unknown` then says
// why.
struct Verdict {
    std::string outcome;
    std::string unknown;
};

struct Outcome {
    // "ok": the program returned; "no_answer": a Yes/No box had no answer
    // left; "crashed": the program died; "timeout": it did not finish;
    // "sim_failed": the simulator itself failed (out of memory, say).
    std::string status = "ok";
    std::string message;
    int exit_code = -1;
    EventList events;
    json summary;  // see Session::Summary
    // The rest of the summary as JSON text (see Session::WriteSummaryState), in
    // events whose "json" holds a piece each: written out as it is.
    EventList summary_state;
    // That rest as a tree, {"registry": ..., "files": [...]} (for tests).
    json SummaryState() const;
    // What Windows 9x would do at its next start for each controller key
    // the run deleted (sim/package.h): a prediction, made after the program
    // returned, never a call of the program. Read with EachRestart.
    EventList after_restart;

    // What the run came to, from what the program did (never from box
    // texts, which message files translate; see DeriveOutcome).
    Verdict verdict;
    // verdict.outcome: empty when it cannot be told or the program did not
    // return.
    const std::string& Result() const { return verdict.outcome; }

    // Events of one type, as JSON (for tests and reports).
    std::vector<json> Of(const std::string& type) const;
    std::vector<json> Boxes() const { return Of(Row(Call::MessageBoxA).event); }
    // Everything the program wrote to standard output, as bytes.
    Bytes Stdout() const;
    // Events that changed the machine: those of the calls whose row in the
    // list of host calls names a change, where the call succeeded.
    std::vector<Event> ChangeEvents() const;
    std::vector<json> Changes() const;
    // Calls each(event) for each of them in turn, decoded into one Event: a
    // run that deletes 100,000 keys is never held as 100,000 objects.
    template <typename Each>
    void EachChange(Each each) const;
    // Calls each(event) for each event of `type` in turn, decoded into one
    // Event.
    template <typename Each>
    void EachOf(std::string_view type, Each each) const {
        Event e;
        for (size_t i = 0; i < events.size(); ++i) {
            if (events.TypeAt(i) != type) continue;
            events.DecodeAt(i, &e);
            each(static_cast<const Event&>(e));
        }
    }
    // Calls each(prediction) for each after_restart record in turn: 100,000
    // deleted keys are never held as 100,000 objects.
    template <typename Each>
    void EachRestart(Each each) const {
        Event e;
        for (size_t i = 0; i < after_restart.size(); ++i) {
            after_restart.DecodeAt(i, &e);
            each(RestartOf(e));
        }
    }
};

bool IsChange(const Event& e);

template <typename Each>
void Outcome::EachChange(Each each) const {
    Event e;
    for (size_t i = 0; i < events.size(); ++i) {
        if (!IsChangeType(events.TypeAt(i))) continue;
        events.DecodeAt(i, &e);
        if (IsChange(e)) each(static_cast<const Event&>(e));
    }
}
// One line per change, the form `[expect] changes` uses: "copy FROM -> TO",
// "mkdir PATH", "regset KEY\NAME = TYPE, N bytes: DATA", "regdel KEY",
// "install HARDWARE_ID from INF", "reboot", "write PATH, N bytes" (a file
// written through fopen). Texts are shown in UTF-8 through
// the machine's code page.
std::string ChangeLine(const Event& e, uint32_t codepage);
// The same line with the machine's texts as they are: bytes of its code
// page, as `[expect] changes` is compared.
Bytes ChangeBytes(const Event& e);
// The outcome of a finished run's events.
Verdict DeriveOutcome(const EventList& events);

// `timeout_seconds` bounds the program's own work: the time a question
// waits in options.answer (on a person, at a terminal) does not count. The
// child ends with the caller: on SIGTERM, SIGINT or SIGHUP while the run
// lasts, and whenever the thread that called Run ends.
Outcome Run(const Machine& machine, const RunOptions& options = {}, int timeout_seconds = 60);

// The run as one JSON document: machine, status, message, exit_code,
// outcome, outcome_unknown, boxes, stdout, changes, change_lines,
// after_restart, events, summary, then `more` (members of the caller's, each after a comma).
// Written to `out` in pieces, never held whole.
void WriteJsonDocument(std::ostream& out, const Machine& machine, const Outcome& outcome,
                       const std::string& more = "");
std::string JsonDocument(const Machine& machine, const Outcome& outcome);

}  // namespace sim

#endif  // VNTR_SIM_RUNNER_H
