// Replays inputs through a fuzz target without libFuzzer: the seed corpus
// and the inputs that once made a target fail, on every test run.
//
//   fuzz_replay_<target> DIR_OR_FILE...
//
// Every file of each directory (names beginning with a dot aside) is one
// input, taken in name order. A directory that does not exist counts as
// empty, so a target without kept regression inputs needs no placeholder.
// An invariant that does not hold aborts the process, which fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        fs::path arg = argv[i];
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else if (fs::exists(arg, ec)) {
            fprintf(stderr, "%s: neither a file nor a directory\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            fprintf(stderr, "%s: cannot be read\n", path.c_str());
            return 2;
        }
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        // Printed before the run, so a failing input is named.
        fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
