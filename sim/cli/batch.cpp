#include "sim/cli/batch.h"

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "sim/runtime.h"

namespace cli {

namespace {

const char kRecordSeparator = '\x1e';

// The arguments of one line, or a problem.
std::string ReadLine(const std::string& line, std::vector<std::string>* args) {
    sim::json parsed = sim::json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array())
        return "a batch line is a JSON array of the arguments of one run";
    for (const auto& a : parsed) {
        if (!a.is_string()) return "a batch line holds strings only";
        args->push_back(a.get<std::string>());
        // Standard input carries the batch itself.
        if (args->back() == "-") return "a batch run cannot read its machine from standard input";
    }
    return "";
}

// One run, its document written through a Tool of its own on a copy of
// standard output (a Tool closes its output when it finishes).
int RunOne(const char* program, MainFunction main_function, const std::string& line) {
    std::vector<std::string> args;
    std::string problem = ReadLine(line, &args);
    int fd = dup(1);
    if (fd < 0) return 5;
    Tool tool(program, fd);
    tool.json = true;
    if (!problem.empty()) return tool.Finish(tool.Usage(problem)) == 5 ? 5 : 0;
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return RunMain(tool, main_function, static_cast<int>(args.size()), argv.data()) == 5 ? 5 : 0;
}

}  // namespace

int RunBatch(const char* program, MainFunction main_function) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (WriteAll(1, &kRecordSeparator, 1) != 0) return 5;
        if (RunOne(program, main_function, line) != 0) return 5;
    }
    return 0;
}

}  // namespace cli
