// A command timed as a whole process, its output thrown away: the
// benchmarks that time vntrsetup-sim itself share it.
#ifndef VNTR_TESTS_BENCH_COMMAND_H
#define VNTR_TESTS_BENCH_COMMAND_H

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace bench {

struct Timed {
    int status = -1;  // the exit status; -1 when it did not exit
    double wall = 0;  // seconds
    double cpu = 0;   // user and system seconds of the process and its children
    double peak = 0;  // MiB, the largest process
};

// Runs argv[0] with `argv` (closed by a null) and waits for it.
inline Timed RunCommand(const char* const* argv) {
    auto mark = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], const_cast<char**>(argv));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Timed t;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - mark).count();
    t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    t.peak = static_cast<double>(usage.ru_maxrss) / 1024;  // KiB -> MiB
    t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return t;
}

}  // namespace bench

#endif  // VNTR_TESTS_BENCH_COMMAND_H
