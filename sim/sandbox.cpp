// SPDX-License-Identifier: MIT
#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace sim {

namespace {

// Host devices that every program (and the shell it starts) expects in /dev.
constexpr const char *PASSED_DEVICES[] = {"null", "zero", "full", "random", "urandom", "tty"};

// Everything the child needs, prepared before fork() so that the child only
// makes system calls (the parent may have other threads, e.g. a simulated board).
struct ChildPlan {
    std::string overlay_options;
    unsigned long overlay_flags = 0;
    std::string sys_class;
    std::string old_dev;
    std::string old_pts, old_shm;
    // {source, path under the new /dev}: the host's devices, then (once the
    // new /dev/pts resolves a pseudo-terminal's path) the options' devices.
    std::vector<std::pair<std::string, std::string>> passed, devices;
};

// Binds each file on a fresh mount point; nullptr, or the one that failed.
const char *bind_files(const std::vector<std::pair<std::string, std::string>> &binds)
{
    for (const auto &[src, dst] : binds) {
        const int fd = open(dst.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || close(fd) != 0 || mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return dst.c_str();
    }
    return nullptr;
}

// Gives this process a mount namespace whose mounts stay private to it;
// nullptr, or the step that failed.
const char *private_mounts()
{
    if (unshare(CLONE_NEWNS) != 0)
        return "unshare";
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ? "make / private" : nullptr;
}

// Makes the namespace, in the child; nullptr, or the step that failed.
const char *enter_namespace(const ChildPlan &plan)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (const char *failed = private_mounts())
        return failed;
    if (mount("overlay", "/usr/bin", "overlay", plan.overlay_flags, plan.overlay_options.c_str()) != 0)
        return "overlay on /usr/bin";
    if (mount(plan.sys_class.c_str(), "/sys/class", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return "bind /sys/class";
    if (mount("/dev", plan.old_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return "keep old /dev";
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=1m") != 0)
        return "tmpfs on /dev";
    if (const char *failed = bind_files(plan.passed))
        return failed;
    if (mkdir("/dev/pts", 0755) != 0)
        return "mkdir /dev/pts";
    if (mount(plan.old_pts.c_str(), "/dev/pts", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return "bind /dev/pts";
    if (mkdir("/dev/shm", 01777) != 0)
        return "mkdir /dev/shm";
    mount(plan.old_shm.c_str(), "/dev/shm", nullptr, MS_BIND | MS_REC, nullptr);
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    symlink("pts/ptmx", "/dev/ptmx");
    if (const char *failed = bind_files(plan.devices))
        return failed;
    umount2(plan.old_dev.c_str(), MNT_DETACH);
    return chdir("/") != 0 ? "chdir /" : nullptr;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

} // namespace

bool Sandbox::supported(std::string *why)
{
    // The only sure test is to try: make a namespace and a mount in a child.
    const auto try_mount = [] {
        return private_mounts() != nullptr || mount("tmpfs", "/mnt", "tmpfs", 0, "size=64k") != 0 ? "mount" : nullptr;
    };
    if (run_process({.argv = {"true"}, .child_setup = try_mount}, NO_TIME_LIMIT).exit_status == 0)
        return true;
    if (why != nullptr)
        *why = "needs root (or CAP_SYS_ADMIN) to create a private mount namespace";
    return false;
}

TempDir::TempDir(const std::string &prefix)
{
    std::string pattern = temp_directory() + "/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TempDir::~TempDir()
{
    // FTW_MOUNT: never descend into a mount someone forgot to take down.
    if (!path_.empty())
        nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

Sandbox::Sandbox(SandboxOptions options) : options_(std::move(options)), dir_("board-sim.")
{
    for (const char *sub : {"/usr-bin", "/usr-bin-work", "/sys-class", "/sys-class/gpio", "/old-dev"})
        if (!dir().empty())
            mkdir((dir() + sub).c_str(), 0755);
}

RunResult Sandbox::run(const std::vector<std::string> &argv, int timeout_ms)
{
    if (dir().empty())
        return {.exec_errno = ENOENT, .exec_error = "no directory for the sandbox"};

    ChildPlan plan;
    if (options_.usr_bin_read_only) {
        plan.overlay_options = "lowerdir=" + usr_bin_dir() + ":/usr/bin";
        plan.overlay_flags = MS_RDONLY;
    } else {
        plan.overlay_options = "lowerdir=/usr/bin,upperdir=" + usr_bin_dir() + ",workdir=" + dir() + "/usr-bin-work";
    }
    plan.sys_class = dir() + "/sys-class";
    plan.old_dev = dir() + "/old-dev";
    for (const char *name : PASSED_DEVICES)
        plan.passed.emplace_back(plan.old_dev + "/" + name, std::string("/dev/") + name);
    plan.old_pts = plan.old_dev + "/pts";
    plan.old_shm = plan.old_dev + "/shm";
    for (const auto &[name, host_path] : options_.devices)
        plan.devices.emplace_back(host_path, "/dev/" + name);
    const ProcessLaunch launch{
        .argv = argv, .stdin_path = "/dev/null", .out = Sink::Capture, .err = Sink::Capture, .child_setup = [&plan] {
            return enter_namespace(plan);
        }};
    return run_process(launch, timeout_ms);
}

std::string Sandbox::read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Sandbox::file_exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool Sandbox::write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

std::string temp_directory()
{
    return env_or("TMPDIR", "/tmp");
}

bool isolate_mounts(std::string *why)
{
    if (private_mounts() == nullptr)
        return true;
    *why = std::string("cannot make a private mount namespace: ") + strerror(errno);
    return false;
}

} // namespace sim
