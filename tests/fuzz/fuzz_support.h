// Shared pieces of the fuzz targets: reading structured values out of the
// fuzzer's bytes, and failing loudly when an invariant does not hold.
//
// Every target defines LLVMFuzzerTestOneInput. Built with libFuzzer it is
// fuzzed; built with replay_main.cpp it replays the seed corpus and the
// kept regression inputs as an ordinary test.
#ifndef VNTR_FUZZ_SUPPORT_H
#define VNTR_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/runner.h"

namespace fuzz {

// Prints what went wrong and aborts, which libFuzzer and the replay driver
// both treat as a failing input.
[[noreturn]] inline void Fail(const std::string& what) {
    fprintf(stderr, "fuzz invariant violated: %s\n", what.c_str());
    fflush(stderr);
    abort();
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

// A run of the whole program in a child process must end normally with exit
// code 0; anything else (a crash, a sanitizer report, a hang, a Yes/No box
// without an answer) is a failure of the input.
inline void CheckRan(const sim::Outcome& o) {
    Check(o.status == "ok", "the run did not end normally: " + o.status + ": " + o.message);
    Check(o.exit_code == 0, "exit code " + std::to_string(o.exit_code));
}

// Reads values from the fuzzer's bytes front to back. Past the end every
// read gives zero bytes, so any input decodes to something.
class Input {
   public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return at_ < size_ ? size_ - at_ : 0; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    // Whatever is left.
    std::string Rest() { return Bytes(left()); }
    // Up to `count` bytes, fewer when the input ends first.
    std::string Bytes(size_t count) {
        size_t n = count < left() ? count : left();
        std::string out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }

    // Splits what is left at every `separator`. Records of variable length
    // are delimited this way rather than by a length field, so that the
    // fuzzer's byte insertions and deletions grow and shrink one record
    // instead of shifting every record after it.
    std::vector<std::string> Split(const std::string& separator) {
        std::string rest = Rest();
        std::vector<std::string> out;
        size_t start = 0;
        for (;;) {
            size_t end = rest.find(separator, start);
            if (end == std::string::npos) break;
            out.push_back(rest.substr(start, end - start));
            start = end + separator.size();
        }
        out.push_back(rest.substr(start));
        return out;
    }

   private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz

#endif  // VNTR_FUZZ_SUPPORT_H
