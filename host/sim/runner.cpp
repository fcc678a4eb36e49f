#include "host/sim/runner.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "app/program.h"

namespace sim {

std::vector<json> Outcome::Of(const std::string& type) const {
    std::vector<json> out;
    for (const auto& e : events)
        if (e.value("type", "") == type) out.push_back(e);
    return out;
}

Bytes Outcome::Stdout() const {
    Bytes out;
    for (const auto& e : Of("stdout")) out += BytesOf(e["text"].get<std::string>());
    return out;
}

bool IsChange(const json& e) {
    std::string type = e.value("type", "");
    return type == "copy" || type == "mkdir" || type == "reg_set" || type == "reg_delete" ||
           type == "reboot" || (type == "install" && e.value("result", false));
}

std::vector<json> Outcome::Changes() const {
    std::vector<json> out;
    for (const auto& e : events)
        if (IsChange(e)) out.push_back(e);
    return out;
}

static void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// The child: runs the program and streams each event as one JSON line, so
// that everything up to a crash reaches the parent.
[[noreturn]] static void RunChild(const Machine& machine, RunOptions options, int fd) {
    Sink outer = options.sink;
    options.sink = [fd, outer](const json& event) {
        if (outer) outer(event);
        WriteAll(fd, event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    };
    auto emit = [fd](const json& line) {
        WriteAll(fd, line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    };
    try {
        Session session(machine, options);
        try {
            char command_line[] = "";
            int code =
                WinMain(reinterpret_cast<HINSTANCE>(0x400000), NULL, command_line, SW_SHOWDEFAULT);
            emit({{"type", "exit"}, {"code", code}});
        } catch (const NoAnswer& e) {
            emit({{"type", "no_answer"}, {"text", Text(e.text)}});
        }
        json summary = session.Summary();
        summary["type"] = "summary";
        emit(summary);
    } catch (const std::exception& e) {
        emit({{"type", "error"}, {"message", e.what()}});
    }
    close(fd);
    _exit(0);
}

Outcome Run(const Machine& machine, const RunOptions& options, int timeout_seconds) {
    Outcome out;
    int fds[2];
    if (pipe(fds) != 0) {
        out.status = "crashed";
        out.message = std::string("cannot create a pipe: ") + strerror(errno);
        return out;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        out.status = "crashed";
        out.message = std::string("cannot start the run: ") + strerror(errno);
        return out;
    }
    if (pid == 0) {
        close(fds[0]);
        RunChild(machine, options, fds[1]);
    }
    close(fds[1]);

    std::string pending;
    bool finished = false, timed_out = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    char buffer[65536];
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t start = 0, end;
        while ((end = pending.find('\n', start)) != std::string::npos) {
            json line = json::parse(pending.substr(start, end - start), nullptr, false);
            start = end + 1;
            if (line.is_discarded()) continue;
            std::string type = line.value("type", "");
            if (type == "exit") {
                out.exit_code = line["code"];
                finished = true;
            } else if (type == "no_answer") {
                out.status = "no_answer";
                out.message = "a Yes/No box found no answer left: \"" +
                              line["text"].get<std::string>() + "\"";
                finished = true;
            } else if (type == "error") {
                out.status = "crashed";
                out.message = line["message"];
            } else if (type == "summary") {
                line.erase("type");
                out.summary = line;
            } else {
                out.events.push_back(line);
            }
        }
        pending.erase(0, start);
    }
    close(fds[0]);
    if (timed_out) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out) {
        out.status = "timeout";
        out.message = "the program did not finish within " + std::to_string(timeout_seconds) + " s";
    } else if (WIFSIGNALED(status)) {
        out.status = "crashed";
        out.message = "the program crashed (signal " + std::to_string(WTERMSIG(status)) + ", " +
                      strsignal(WTERMSIG(status)) + ")";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        out.status = "crashed";
        out.message = "the run ended with status " + std::to_string(WEXITSTATUS(status)) +
                      " (see the report on standard error)";
    } else if (!finished && out.status == "ok") {
        out.status = "crashed";
        out.message = "the program ended without returning";
    }
    return out;
}

json ToJson(const Machine& machine, const Outcome& outcome) {
    json changes = json::array();
    for (const auto& c : outcome.Changes()) changes.push_back(c);
    json events = json::array();
    for (const auto& e : outcome.events) events.push_back(e);
    return {
        {"machine",
         {{"name", machine.name},
          {"source", machine.source},
          {"os", machine.os_name},
          {"platform", machine.os.platform},
          {"version", std::to_string(machine.os.major) + "." + std::to_string(machine.os.minor)},
          {"build_number", machine.os.build_number},
          {"current_dir", Text(machine.current_dir)},
          {"windows_dir", Text(machine.windows_dir)},
          {"locale", machine.locale}}},
        {"status", outcome.status},
        {"message", outcome.message},
        {"exit_code", outcome.exit_code},
        {"boxes", outcome.Boxes()},
        {"stdout", Text(outcome.Stdout())},
        {"changes", changes},
        {"events", events},
        {"summary", outcome.summary}};
}

}  // namespace sim
