// Reading the simulator's own input from the host: machine files, files a
// machine file names, and package folders. A regular file (or a link to
// one) is read whole; a pipe, a FIFO, `<(command)` or a character device is
// read as a stream, as standard input is; each under the same size cap. A
// stream that gives nothing for kStreamWaitMs (a FIFO nobody writes to, a
// terminal) ends with a message, never a hang; a directory, a block device
// or a socket is refused.
#ifndef VNTR_SIM_HOSTFILES_H
#define VNTR_SIM_HOSTFILES_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kMachineFileCap = 64u << 20;  // a machine file
constexpr size_t kHostFileCap = 16u << 20;     // one file mounted into a machine
constexpr size_t kPackageCap = 256u << 20;     // a whole package folder
constexpr size_t kPackageEntries = 100000;     // files and folders in a package folder

// What went wrong, naming the host path and the reason.
class HostFileError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

// How long a named stream may stay silent, before its first byte or
// between two reads.
constexpr int kStreamWaitMs = 10000;

// The whole of a file of at most `cap` bytes, read as said above.
std::string ReadHostFile(const std::string& path, size_t cap, int wait_ms = kStreamWaitMs);
// Everything from an open descriptor (standard input) up to `cap` bytes;
// `name` names it in messages.
std::string ReadHostStream(int fd, size_t cap, const std::string& name);

struct PackageEntry {
    std::string relative;  // '/'-separated, each part as named in the folder
    bool dir = false;
    std::string data;
};

// A package folder, recursively, parents before children. Links are read
// under their own names: a link to a file gives that file's contents, a
// link to a folder that folder's entries (a link back to an ancestor is
// refused). Names are never resolved to where a link points.
std::vector<PackageEntry> ReadPackageFolder(const std::string& dir);

// "a FIFO", "a directory", "a character device", ... for messages.
std::string KindOfFile(unsigned mode);

}  // namespace sim

#endif  // VNTR_SIM_HOSTFILES_H
