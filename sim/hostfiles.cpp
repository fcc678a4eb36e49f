#include "sim/hostfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

namespace sim {

std::string KindOfFile(unsigned mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a FIFO";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFSOCK:
            return "a socket";
        case S_IFLNK:
            return "a symbolic link";
    }
    return "not a regular file";
}

static std::string Reason(int error) {
    switch (error) {
        case ENOENT:
            return "no such file";
        case EACCES:
            return "permission denied";
        case ENOTDIR:
            return "a part of the path is not a directory";
        case ELOOP:
            return "too many levels of symbolic links";
        case ENAMETOOLONG:
            return "the path is too long";
    }
    return strerror(error);
}

static std::string Mib(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// "more than 16 MiB, the most ...": why a file of more than `cap` bytes is
// not read.
static std::string OverCap(size_t cap) {
    return "more than " + Mib(cap) + ", the most the simulator reads from one file";
}

// Appends `n` bytes read of the file `name` to `out`: more than `cap` in
// all are refused.
static void Take(std::string& out, const char* data, ssize_t n, size_t cap,
                 const std::string& name) {
    if (out.size() + static_cast<size_t>(n) > cap) throw HostFileError(name + ": " + OverCap(cap));
    out.append(data, static_cast<size_t>(n));
}

// Reads from an open descriptor until its end, failing beyond `cap`; room
// for `expected` bytes is made at once.
static std::string ReadAll(int fd, size_t cap, const std::string& name, size_t expected = 0) {
    std::string out;
    out.reserve(expected);
    char buffer[1 << 16];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw HostFileError(name + ": cannot read: " + Reason(errno));
        if (n == 0) return out;
        Take(out, buffer, n, cap, name);
    }
}

// Reads a stream opened without blocking: what is there is taken at once;
// while nothing comes it waits in short slices, at most `wait_ms` without a
// byte. An end before the first byte of a FIFO is a writer not there yet
// (a FIFO reads as ended while nobody has it open for writing).
static std::string ReadStream(int fd, size_t cap, const std::string& name, bool fifo, int wait_ms) {
    std::string out;
    char buffer[1 << 16];
    int waited = 0;
    constexpr int kSliceMs = 20;
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) throw HostFileError(name + ": cannot read: " + Reason(errno));
        if (n == 0 && !(fifo && out.empty())) return out;
        if (n > 0) {
            Take(out, buffer, n, cap, name);
            waited = 0;
            continue;
        }
        if (waited >= wait_ms)
            throw HostFileError(name + ": nothing came from it for " +
                                std::to_string(wait_ms / 1000.0).substr(0, 4) +
                                " s; is a program writing to it?");
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, kSliceMs);
        waited += kSliceMs;
    }
}

std::string ReadHostFile(const std::string& path, size_t cap, int wait_ms) {
    // Non-blocking, so that opening a FIFO does not wait for a writer; the
    // kind of file is then checked on what was opened, not on the name.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw HostFileError(path + ": cannot open: " + Reason(errno));
    try {
        struct stat st;
        if (fstat(fd, &st) != 0) throw HostFileError(path + ": cannot read: " + Reason(errno));
        std::string data;
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            data = ReadStream(fd, cap, path, S_ISFIFO(st.st_mode), wait_ms);
        } else if (!S_ISREG(st.st_mode)) {
            throw HostFileError(path + ": is " + KindOfFile(st.st_mode) +
                                ", not a file the simulator can read");
        } else if (static_cast<size_t>(st.st_size) > cap) {
            throw HostFileError(path + ": " + std::to_string(st.st_size) + " bytes, " +
                                OverCap(cap));
        } else {
            // Regular files do not block; reads go back to ordinary mode.
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            data = ReadAll(fd, cap, path, static_cast<size_t>(st.st_size));
        }
        close(fd);
        return data;
    } catch (...) {
        close(fd);
        throw;
    }
}

std::string ReadHostStream(int fd, size_t cap, const std::string& name) {
    return ReadAll(fd, cap, name);
}

namespace {

struct Walker {
    std::vector<PackageEntry> entries;
    size_t total = 0;
    std::set<std::pair<dev_t, ino_t>> open_dirs;  // the folders being read, for link loops

    void Dir(const std::string& host, const std::string& relative) {
        struct stat st;
        if (stat(host.c_str(), &st) != 0)
            throw HostFileError(host + ": cannot read: " + Reason(errno));
        auto id = std::make_pair(st.st_dev, st.st_ino);
        if (open_dirs.count(id))
            throw HostFileError(host + ": a link back to a folder that contains it");
        DIR* d = opendir(host.c_str());
        if (!d) throw HostFileError(host + ": cannot read the folder: " + Reason(errno));
        std::vector<std::string> names;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        open_dirs.insert(id);
        for (const auto& name : names)
            Entry(host + "/" + name, relative.empty() ? name : relative + "/" + name);
        open_dirs.erase(id);
    }

    void Entry(const std::string& host, const std::string& relative) {
        if (entries.size() >= kPackageEntries)
            throw HostFileError(host + ": the package folder holds more than " +
                                std::to_string(kPackageEntries) + " files and folders");
        // What the name stands for, following a link to its end.
        struct stat st;
        if (stat(host.c_str(), &st) != 0)
            throw HostFileError(host + ": cannot read: " + Reason(errno));
        if (S_ISDIR(st.st_mode)) {
            entries.push_back({relative, true, ""});
            Dir(host, relative);
            return;
        }
        if (!S_ISREG(st.st_mode))
            throw HostFileError(host + ": is " + KindOfFile(st.st_mode) +
                                ", not a regular file; a package folder may hold only files "
                                "and folders");
        PackageEntry e{relative, false, ReadHostFile(host, kHostFileCap)};
        total += e.data.size();
        if (total > kPackageCap)
            throw HostFileError(host + ": the package folder holds more than " + Mib(kPackageCap));
        entries.push_back(std::move(e));
    }
};

}  // namespace

std::vector<PackageEntry> ReadPackageFolder(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        throw HostFileError("package folder " + dir + ": " + Reason(errno));
    if (!S_ISDIR(st.st_mode))
        throw HostFileError("package folder " + dir + ": is " + KindOfFile(st.st_mode) +
                            ", not a folder");
    Walker w;
    w.Dir(dir, "");
    return std::move(w.entries);
}

}  // namespace sim
