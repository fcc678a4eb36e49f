#include "sim/runner.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>

#include "common/messages.h"
#include "common/product.h"
#include "host/host.h"
#include "sim/codepage.h"
#include "sim/package.h"

namespace sim {

// ---- reading a finished run -------------------------------------------------

std::vector<json> Outcome::Of(const std::string& type) const {
    std::vector<json> out;
    EachOf(type, [&](const Event& e) { out.push_back(e.ToJson()); });
    return out;
}

json Outcome::SummaryState() const {
    std::string text = "{";
    for (const Event& piece : summary_state) text += piece.GetStr("json");
    return json::parse(text + "}");
}

Bytes Outcome::Stdout() const {
    // Its size first: 20 MB of output is made once, not grown by doubling.
    size_t size = 0;
    EachOf("stdout", [&](const Event& e) { size += e.GetStr("text").size(); });
    Bytes out;
    out.reserve(size);
    EachOf("stdout", [&](const Event& e) { out += e.GetStr("text"); });
    return out;
}

bool IsChange(const Event& e) {
    if (!IsChangeType(e.type())) return false;
    // The change is made when the call succeeds: TRUE, or ERROR_SUCCESS from
    // the registry functions, which return their status.
    const Field* result = e.Get("result");
    if (!result) return false;
    if (result->kind == Field::kBool) return result->number != 0;
    return result->kind == Field::kNumber && result->number == ERROR_SUCCESS;
}

std::vector<Event> Outcome::ChangeEvents() const {
    std::vector<Event> out;
    EachChange([&](const Event& e) { out.push_back(e); });
    return out;
}

std::vector<json> Outcome::Changes() const {
    std::vector<json> out;
    for (const Event& e : ChangeEvents()) out.push_back(e.ToJson());
    return out;
}

// A change's line, its texts as `text` gives them.
template <typename TextOf>
static std::string ChangeText(const Event& e, TextOf text) {
    const std::string& type = e.type();
    if (type == "copy") return "copy " + text("args.from") + " -> " + text("args.to");
    if (type == "mkdir") return "mkdir " + text("args.path");
    if (type == "reg_set") {
        const char* name = RegTypeName(e.GetNum("args.type"));
        std::string t = name ? name : "type " + std::to_string(e.GetNum("args.type"));
        return "regset " + text("args.key") + "\\" + text("args.name") + " = " + t + ", " +
               std::to_string(e.GetNum("args.size")) + " bytes: \"" + text("args.data") + "\"";
    }
    if (type == "reg_delete") return "regdel " + text("path");
    if (type == "install")
        return "install " + text("args.hardware_id") + " from " + text("args.inf");
    if (type == "reboot") return "reboot";
    if (type == "file_written")
        return "write " + text("path") + ", " + std::to_string(e.GetNum("bytes")) + " bytes";
    return type;
}

std::string ChangeLine(const Event& e, uint32_t cp) {
    return ChangeText(e, [&](const char* key) { return Visible(e.GetStr(key), cp); });
}

Bytes ChangeBytes(const Event& e) {
    return ChangeText(e, [&](const char* key) { return e.GetStr(key); });
}

// What the run came to, read from what the program did:
// - its first box (the question) not answered Yes: declined; a box that
//   fails returns 0, which is not Yes;
// - a restart requested (ExitWindowsEx called): restart;
// - the platform its version query read (0 when the query failed), and on
//   the 9x family the build that the legacy flow's own query read (the
//   run's second), decide whether the program handles this Windows at all:
//   a platform other than 1 or 2, or a 9x build the package has no files
//   for: nothing;
// - an update given an INF known only by its size and CRC-32, with no
//   [update] table to say what it does: unpredictable;
// - otherwise the message of its last box: MSG_SUCCESS installed (NT) or
//   staged (9x), MSG_NO_CONTROLLER no-controller, MSG_FAILED failed.
// Where that message cannot be told (see TagMessage in sim/winapi.cpp),
// there is no outcome, and `unknown` says why.
Verdict DeriveOutcome(const EventList& events) {
    const char* box_type = Row(Call::MessageBoxA).event;
    const char* version_type = Row(Call::GetVersionExA).event;
    const char* restart_type = Row(Call::ExitWindowsEx).event;
    const char* update_type = Row(Call::UpdateDriverForPlugAndPlayDevicesA).event;
    std::vector<Event> boxes, versions;  // versions: the queries after the question
    bool restart = false, unpredictable = false;
    for (size_t i = 0; i < events.size(); ++i) {
        std::string_view type = events.TypeAt(i);
        if (type == box_type) {
            boxes.push_back(events[i]);
        } else if (type == version_type && !boxes.empty()) {
            versions.push_back(events[i]);
        } else if (type == restart_type) {
            restart = true;
        } else if (type == update_type) {
            Event update = events[i];
            unpredictable =
                update.GetStr("inf_verdict") == "unpredictable" && !update.GetFlag("update_given");
        }
    }
    if (boxes.empty()) return {"", "the program showed no box"};
    if (boxes[0].GetNum("result") != IDYES) return {"declined", ""};
    if (restart) return {"restart", ""};
    auto platform_of = [](const Event& query) {
        return query.GetFlag("result") ? query.GetNum("platform") : 0;
    };
    int64_t platform = versions.empty() ? 0 : platform_of(versions[0]);
    if (platform != VER_PLATFORM_WIN32_WINDOWS && platform != VER_PLATFORM_WIN32_NT)
        return {"nothing", ""};
    // Without its own query the legacy flow ended before it (its directories
    // could not be had); its last box tells how.
    if (platform == VER_PLATFORM_WIN32_WINDOWS && versions.size() > 1) {
        int64_t build =
            versions[1].GetFlag("result") ? versions[1].GetNum("build_number") & 0xFFFF : 0;
        if (build != BUILD_98 && build != BUILD_98SE && build != BUILD_ME) return {"nothing", ""};
    }
    // The update's result was made up: what follows from it tells nothing.
    if (unpredictable) return {kUnpredictableOutcome, ""};
    if (boxes.size() < 2) return {"", "the program showed no box after the question"};
    const Event& last = boxes.back();
    if (last.IsNull("message"))
        return {"", last.GetFlag("absent")
                        ? "the last box has no text, and more than one message the message "
                          "file did not reach could be shown in such a box"
                        : "the last box shows no message of the program's table"};
    int64_t message = last.GetNum("message");
    switch (message) {
        case MSG_SUCCESS:
            return {platform == VER_PLATFORM_WIN32_NT ? "installed" : "staged", ""};
        case MSG_NO_CONTROLLER:
            return {"no-controller", ""};
        case MSG_FAILED:
            return {"failed", ""};
    }
    return {"", "the last box shows message " + std::to_string(message) + ", which ends no run"};
}

// ---- the event log shared with the child ---------------------------------------

// The child appends each event to a memory-backed file as it happens, with
// no system call per event; a crash loses nothing written before it. The
// first 8 bytes hold the length of what is complete.
class EventLog {
   public:
    bool Open() {
        fd_ = memfd_create("vntrsetup-sim-events", MFD_CLOEXEC);
        return fd_ >= 0 && ftruncate(fd_, kInitial) == 0;
    }
    ~EventLog() {
        if (map_) munmap(map_, capacity_);
        if (fd_ >= 0) close(fd_);
    }
    // In the child, before the first Append.
    bool Map() {
        capacity_ = kInitial;
        void* p = mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) return false;
        map_ = static_cast<char*>(p);
        memset(map_, 0, 8);
        return true;
    }
    bool Append(const Event& e) {
        scratch_.clear();
        scratch_.append(4, '\0');
        e.Encode(scratch_);
        uint32_t length = static_cast<uint32_t>(scratch_.size() - 4);
        memcpy(&scratch_[0], &length, 4);
        uint64_t used;
        memcpy(&used, map_, 8);
        size_t end = 8 + used + scratch_.size();
        if (end > capacity_) {
            size_t bigger = capacity_;
            while (bigger < end) bigger *= 2;
            if (ftruncate(fd_, static_cast<off_t>(bigger)) != 0) return false;
            void* p = mremap(map_, capacity_, bigger, MREMAP_MAYMOVE);
            if (p == MAP_FAILED) return false;
            map_ = static_cast<char*>(p);
            capacity_ = bigger;
        }
        memcpy(map_ + 8 + used, scratch_.data(), scratch_.size());
        used += scratch_.size();
        memcpy(map_, &used, 8);
        return true;
    }
    // In the parent, after the child has gone: the complete events, as
    // they were written (each after its 4-byte length), given to `events`.
    // The record is mapped, not copied: a run of millions of events is
    // held once. False when it cannot be read or is damaged (the events
    // before the damage are kept).
    bool GiveTo(EventList* events) {
        struct stat st;
        uint64_t used;
        if (fstat(fd_, &st) != 0 || st.st_size < 8 || pread(fd_, &used, 8, 0) != 8) return false;
        used = std::min<uint64_t>(used, static_cast<uint64_t>(st.st_size) - 8);
        size_t length = static_cast<size_t>(8 + used);
        void* p = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, 0);
        if (p == MAP_FAILED) return false;
        std::shared_ptr<const void> owner(
            p, [length](const void* q) { munmap(const_cast<void*>(q), length); });
        const char* data = static_cast<const char*>(p) + 8;
        std::vector<size_t> offsets;
        // An event takes some tens of bytes; room reserved and not used is
        // never touched, and costs no memory.
        offsets.reserve(static_cast<size_t>(used / 16));
        bool whole = true;
        for (size_t at = 0; at + 4 <= used;) {
            uint32_t size;
            memcpy(&size, data + at, 4);
            if (size > used - at - 4) {
                whole = false;
                break;
            }
            offsets.push_back(at + 4);
            at += 4 + size;
        }
        events->Adopt(std::move(owner), data, static_cast<size_t>(used), std::move(offsets));
        return whole;
    }

   private:
    static constexpr size_t kInitial = 1 << 20;
    int fd_ = -1;
    char* map_ = nullptr;
    size_t capacity_ = 0;
    std::string scratch_;
};

// What the child tells the parent through the pipe between them: that a
// question now waits for a person, and that it has its answer. The time
// between is not the program's and does not count towards the limit.
const char kWaiting = 'w', kAnswered = 'a';

// The signals that end the simulator on a user's or a system's request; the
// child must not outlive it.
const int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};
static volatile sig_atomic_t g_child = 0;

static void EndChildAndDie(int signal) {
    if (g_child > 0) kill(static_cast<pid_t>(g_child), SIGKILL);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// The child: runs the program; every event goes to the log as it happens.
[[noreturn]] static void RunChild(const Machine& machine, RunOptions options, EventLog& log,
                                  int alive, pid_t parent) {
    for (int s : kEndSignals) signal(s, SIG_DFL);
    // Ends with its parent, however the parent ends (a SIGKILL included);
    // a parent gone before this took effect is seen here.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(5);
    if (!log.Map()) _exit(5);
    if (options.answer) {
        Answerer ask = options.answer;
        options.answer = [ask, alive](const Event& box) {
            // The parent holds the other end for as long as it waits for us;
            // a failed note only means the clock keeps running.
            (void)!write(alive, &kWaiting, 1);
            std::optional<bool> answer = ask(box);
            (void)!write(alive, &kAnswered, 1);
            return answer;
        };
    }
    Sink outer = options.sink;
    // The controller keys the run deletes, for what Windows 9x does with
    // them at its next start.
    std::vector<std::string> deleted;
    options.sink = [&log, outer, &deleted](const Event& event) {
        if (outer) outer(event);
        if (!log.Append(event)) _exit(5);
        std::string key = DeletedDeviceKey(event);
        if (!key.empty()) deleted.push_back(key);
    };
    options.keep_events = false;
    auto emit = [&log](const Event& e) {
        if (!log.Append(e)) _exit(5);
    };
    try {
        // The child's copy of the machine is its own: no need to copy it
        // once more. The session is never freed: the child ends with _exit,
        // and the system takes back a machine of 100,000 devices at once.
        // It stays where a leak check finds it.
        static Session* kept = nullptr;
        kept = new Session(std::move(const_cast<Machine&>(machine)), options);
        Session& session = *kept;
        try {
            // The machine now belongs to the session.
            const Bytes& given = session.runtime().m.command_line;
            std::vector<char> command_line(given.begin(), given.end());
            command_line.push_back('\0');
            // What the program is started with, for the record.
            session.runtime().Emit(
                Event("start").Str("command_line", given).Num("show", SW_SHOWDEFAULT));
            int code = options.program ? options.program(command_line.data())
                                       : WinMain(reinterpret_cast<HINSTANCE>(0x400000), NULL,
                                                 command_line.data(), SW_SHOWDEFAULT);
            emit(Event("exit").Num("code", code));
            PredictAfterRestart(session.runtime().m, deleted,
                                [&](const RestartPrediction& p) { emit(RestartEvent(p)); });
        } catch (const NoAnswer& e) {
            emit(Event("no_answer").Str("text", e.text));
        }
        // The registry and the files as JSON text in pieces, which the
        // parent writes out as they are; then the rest of the summary, in
        // CBOR (a copy, not a text to read back). A run that ends between
        // the two has no summary: the parent keeps the pieces only with it.
        session.WriteSummaryState(
            [&](const std::string& piece) { emit(Event("summary_state").Str("json", piece)); });
        std::vector<uint8_t> summary = json::to_cbor(session.Summary());
        emit(Event("summary").Str("cbor", Bytes(summary.begin(), summary.end())));
    } catch (const std::bad_alloc&) {
        emit(Event("error").Str("message", "the simulator ran out of memory"));
    } catch (const std::exception& e) {
        emit(Event("error").Str("message", e.what()));
    }
    close(alive);
    _exit(0);
}

// Waits for the child to close its end of `fd`, its notes of questions
// on the way stopping and starting the clock: the limit is for the
// program's own work, and the clock stops while a question waits for a
// person. Returns false when the limit passed first.
static bool AwaitChild(int fd, int timeout_seconds) {
    using Clock = std::chrono::steady_clock;
    const auto limit = std::chrono::milliseconds(std::chrono::seconds(timeout_seconds));
    auto used = Clock::duration::zero();
    auto since = Clock::now();
    bool waiting = false;
    while (true) {
        int wait_ms = -1;
        if (!waiting) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            limit - used - (Clock::now() - since))
                            .count();
            if (left <= 0) return false;
            wait_ms = static_cast<int>(std::min<long long>(left, 1000));
        }
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready <= 0) continue;
        char notes[64];
        ssize_t n = read(fd, notes, sizeof notes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        for (ssize_t i = 0; i < n; ++i) {
            if (notes[i] == kWaiting && !waiting) {
                used += Clock::now() - since;
                waiting = true;
            } else if (notes[i] == kAnswered && waiting) {
                since = Clock::now();
                waiting = false;
            }
        }
    }
}

// The run's own records say how it ended: they are taken out of the
// events, and the program's stay. Returns whether the program finished
// (returned, or stopped at a box with no answer).
static bool TakeOwnRecords(Outcome* out, uint32_t codepage) {
    out->after_restart =
        out->events.TakeIf([](std::string_view type) { return type == "after_restart"; });
    EventList state =
        out->events.TakeIf([](std::string_view type) { return type == "summary_state"; });
    auto own = [](std::string_view type) {
        return type == "exit" || type == "no_answer" || type == "error" || type == "summary";
    };
    bool finished = false;
    for (size_t i = 0; i < out->events.size(); ++i) {
        std::string_view type = out->events.TypeAt(i);
        if (!own(type)) continue;
        Event e = out->events[i];
        if (type == "exit") {
            out->exit_code = static_cast<int>(e.GetNum("code"));
            finished = true;
        } else if (type == "no_answer") {
            out->status = "no_answer";
            out->message = "a Yes/No box found no answer left: \"" +
                           Visible(e.GetStr("text"), codepage) + "\"";
            finished = true;
        } else if (type == "error") {
            out->status = "sim_failed";
            out->message = e.GetStr("message");
        } else if (type == "summary") {
            Bytes cbor = e.GetStr("cbor");
            out->summary = json::from_cbor(cbor.begin(), cbor.end(), true, false);
        }
    }
    // The pieces are kept only with the summary that follows them.
    if (!out->summary.is_null()) out->summary_state = std::move(state);
    out->events.KeepIf([&](std::string_view type) { return !own(type); });
    return finished;
}

// How the child ended, where its records do not say it: the limit passed,
// a signal, a failed record, no return.
static void EndedHow(Outcome* out, int status, bool timed_out, bool readable, bool finished,
                     int timeout_seconds) {
    if (timed_out) {
        out->status = "timeout";
        out->message = "the program did not finish within " + std::to_string(timeout_seconds) +
                       " s (time spent waiting for answers not counted)";
    } else if (WIFSIGNALED(status)) {
        out->status = "crashed";
        out->message = "the program crashed (signal " + std::to_string(WTERMSIG(status)) + ", " +
                       strsignal(WTERMSIG(status)) + ")";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 5) {
        out->status = "sim_failed";
        out->message = "the record of the run could not grow (out of memory)";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        out->status = "crashed";
        out->message = "the run ended with status " + std::to_string(WEXITSTATUS(status)) +
                       " (see the report on standard error)";
    } else if (!readable) {
        out->status = "sim_failed";
        out->message = "the record of the run could not be read";
    } else if (!finished && out->status == "ok") {
        out->status = "crashed";
        out->message = "the program ended without returning";
    }
}

Outcome Run(const Machine& machine, const RunOptions& options, int timeout_seconds) {
    Outcome out;
    auto fail = [&](const std::string& why) {
        out.status = "sim_failed";
        out.message = why + ": " + strerror(errno);
        return out;
    };
    EventLog log;
    if (!log.Open()) return fail("cannot make the record of the run");
    // The child holds the write end; its end of life closes it.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail("cannot create a pipe");
    fflush(stdout);
    fflush(stderr);
    // Until the child has been waited for, a signal that ends the simulator
    // ends the child first.
    struct sigaction ending = {}, before[std::size(kEndSignals)];
    ending.sa_handler = EndChildAndDie;
    sigemptyset(&ending.sa_mask);
    for (size_t i = 0; i < std::size(kEndSignals); ++i)
        sigaction(kEndSignals[i], &ending, &before[i]);
    auto restore = [&] {
        g_child = 0;
        for (size_t i = 0; i < std::size(kEndSignals); ++i)
            sigaction(kEndSignals[i], &before[i], nullptr);
    };
    // Memory the loading freed goes back to the system first: the child
    // would otherwise carry it as its own.
    malloc_trim(0);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        restore();
        close(fds[0]);
        close(fds[1]);
        return fail("cannot start the run");
    }
    if (pid == 0) {
        close(fds[0]);
        RunChild(machine, options, log, fds[1], parent);
    }
    g_child = pid;
    close(fds[1]);
    bool timed_out = !AwaitChild(fds[0], timeout_seconds);
    close(fds[0]);
    if (timed_out) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    restore();

    bool readable = log.GiveTo(&out.events);
    bool finished = TakeOwnRecords(&out, machine.codepage);
    EndedHow(&out, status, timed_out, readable, finished, timeout_seconds);
    out.verdict = out.status == "ok"
                      ? DeriveOutcome(out.events)
                      : Verdict{"", "the program did not return (" + out.status + ")"};
    return out;
}

// ---- the JSON document ---------------------------------------------------------

// The document's members before the events': the machine, how the run
// ended, what it came to.
static json DocumentHead(const Machine& machine, const Outcome& outcome) {
    json head = {
        {"machine",
         {{"name", machine.name},
          {"source", machine.source},
          {"os", machine.os_name},
          {"platform", machine.os.platform},
          {"version", std::to_string(machine.os.major) + "." + std::to_string(machine.os.minor)},
          {"build_number", machine.os.build_number},
          {"current_dir", Text(machine.current_dir)},
          {"windows_dir", Text(machine.windows_dir)},
          {"system_dir", Text(machine.system_dir)},
          {"locale", machine.locale},
          {"codepage", machine.codepage}}},
        {"status", outcome.status},
        {"message", outcome.message},
        {"exit_code", outcome.exit_code}};
    if (outcome.verdict.outcome.empty()) {
        head["outcome"] = nullptr;
        head["outcome_unknown"] = outcome.verdict.unknown;
    } else {
        head["outcome"] = outcome.verdict.outcome;
        head["outcome_unknown"] = nullptr;
    }
    return head;
}

// The summary: its counts as they came, then the registry and the files in
// the pieces the run wrote them in, each written out as it is.
static void AppendSummary(std::string& out, const Outcome& outcome,
                          const std::function<void()>& flush) {
    if (outcome.summary.is_null()) {
        out += "null";
        return;
    }
    out += Dump(outcome.summary);
    if (outcome.summary_state.empty()) return;
    out.pop_back();  // the closing brace: the registry and the files follow
    out += ',';
    Event piece;
    for (size_t i = 0; i < outcome.summary_state.size(); ++i) {
        outcome.summary_state.DecodeAt(i, &piece);
        out += piece.GetStr("json");
        flush();
    }
    out += '}';
}

void WriteJsonDocument(std::ostream& stream, const Machine& machine, const Outcome& outcome,
                       const std::string& more) {
    // Written in pieces of about a megabyte: a run of millions of events
    // makes a document of hundreds of megabytes.
    std::string out = Dump(DocumentHead(machine, outcome));
    out.pop_back();  // the closing brace: the rest follows
    auto flush = [&] {
        if (out.size() < (1 << 20)) return;
        stream << out;
        out.clear();
    };
    const EventList& events = outcome.events;
    Event e;
    // The events whose type passes `want` and that pass `keep`, each
    // written by `write`, with `separator` between them.
    auto each = [&](auto want, auto keep, const char* separator, auto write) {
        bool first = true;
        for (size_t i = 0; i < events.size(); ++i) {
            if (!want(events.TypeAt(i))) continue;
            events.DecodeAt(i, &e);
            if (!keep(e)) continue;
            if (!first) out += separator;
            first = false;
            write(e);
            flush();
        }
    };
    auto all = [](const auto&) { return true; };
    auto as_json = [&](const Event& event) { event.AppendJson(out); };
    out += ",\n\"boxes\":[";
    each([](std::string_view type) { return type == Row(Call::MessageBoxA).event; }, all, ",\n  ",
         as_json);
    out += "],\n\"stdout\":\"";
    each([](std::string_view type) { return type == "stdout"; }, all, "",
         [&](const Event& event) { AppendJsonChars(out, event.GetStr("text")); });
    out += "\",\n\"changes\":[";
    each(IsChangeType, IsChange, ",\n  ", as_json);
    out += "],\n\"change_lines\":[";
    each(IsChangeType, IsChange, ",", [&](const Event& event) {
        // Already UTF-8: written as it is, escaped for JSON.
        out += Dump(json(ChangeLine(event, machine.codepage)));
    });
    out += "],\n\"after_restart\":[";
    const char* separator = "";
    outcome.EachRestart([&](const RestartPrediction& p) {
        auto text = [&](const std::optional<std::string>& t) {
            return t ? json(Visible(*t, machine.codepage)) : json(nullptr);
        };
        json not_captured = json::array();
        for (const std::string& inf : p.not_captured) not_captured.push_back(text(inf));
        json entry = {
            {"device", text(p.device)},     {"inf", text(p.inf)},
            {"model", text(p.model)},       {"why", Visible(p.why, kUtf8)},
            {"not_captured", not_captured}, {"line", AfterRestartLine(p, machine.codepage)}};
        out += separator + Dump(entry);
        separator = ",\n  ";
        flush();
    });
    out += "],\n\"events\":[";
    each([](std::string_view) { return true; }, all, ",\n  ", as_json);
    out += ']';
    out += ",\n\"summary\":";
    AppendSummary(out, outcome, flush);
    out += more;
    out += "}";
    stream << out;
}

std::string JsonDocument(const Machine& machine, const Outcome& outcome) {
    std::ostringstream out;
    WriteJsonDocument(out, machine, outcome);
    return out.str();
}

}  // namespace sim
