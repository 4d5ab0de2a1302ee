// SPDX-License-Identifier: MIT
// A private mount namespace that puts a simulated board behind the programs'
// compiled-in paths, so the real, unmodified binaries can be run against it:
//   /usr/bin    an overlay on the host's /usr/bin whose upper layer is
//               usr_bin_dir(): record files land there, the shell and its
//               tools still work, and the host's /usr/bin never changes;
//   /sys/class  a plain directory of ours holding an empty gpio_dir() (a FUSE
//               tree may be mounted on that before run());
//   /dev        a fresh tmpfs holding null, zero, full, random, urandom, tty,
//               pts, ptmx and shm from the host and the fd/stdin/stdout/stderr
//               links, plus the devices named in the options, each a bind
//               mount of a host path (a pseudo-terminal's slave, say).
// Nothing outside the namespace is touched; the directory is removed on
// destruction.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "process.h"

namespace sim {

struct SandboxOptions {
    // {name under /dev, host path to bind there}, e.g. {"ttyATH0", "/dev/pts/3"}.
    std::vector<std::pair<std::string, std::string>> devices;
    // Mount the /usr/bin overlay read-only, so that record files cannot be written.
    bool usr_bin_read_only = false;
};

// A fresh directory `<temp_directory()>/<prefix>XXXXXX`, removed with all it
// holds on destruction; path() is empty when it could not be made.
class TempDir {
public:
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    [[nodiscard]] const std::string &path() const { return path_; }

private:
    std::string path_;
};

class Sandbox {
public:
    // True when this process may create mount namespaces (root, or
    // CAP_SYS_ADMIN); otherwise `why` says what is missing.
    static bool supported(std::string *why);

    explicit Sandbox(SandboxOptions options = {});

    [[nodiscard]] const std::string &dir() const { return dir_.path(); } // empty when it could not be made
    // Upper layer of the /usr/bin overlay: seed record files here before a run
    // and read them back after it.
    [[nodiscard]] std::string usr_bin_dir() const { return dir() + "/usr-bin"; }
    // What the program sees as /sys/class/gpio.
    [[nodiscard]] std::string gpio_dir() const { return dir() + "/sys-class/gpio"; }

    // Runs `argv` (argv[0] an absolute path) inside the namespace, with
    // standard input from /dev/null and standard output and error captured,
    // through Process: killed after `timeout_ms`, a stop signal passed on.
    RunResult run(const std::vector<std::string> &argv, int timeout_ms);

    // The whole contents of a file; empty when it cannot be read (missing,
    // say), so use file_exists() to tell a missing file from an empty one.
    static std::string read_file(const std::string &path);
    static bool file_exists(const std::string &path);
    static bool write_file(const std::string &path, const std::string &text); // false when it failed

private:
    SandboxOptions options_;
    TempDir dir_;
};

// Makes this process's mounts private to it, so that a FUSE mount it leaves
// behind (killed mid-run, say) vanishes with it instead of lingering on the
// host. Returns false with `why` set when that is not possible.
bool isolate_mounts(std::string *why);

// $TMPDIR when set and non-empty, else /tmp.
std::string temp_directory();

} // namespace sim
