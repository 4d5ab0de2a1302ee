// SPDX-License-Identifier: MIT
#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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
    std::vector<std::string> passed_src, passed_dst;
    std::string old_pts, old_shm;
    std::vector<std::string> device_src, device_dst;
    std::string out_path, err_path;
    std::vector<std::string> argv;
};

[[noreturn]] void child_fail(const char *what)
{
    // Standard error is the capture file by now, or the test's own.
    const int saved = errno;
    dprintf(2, "sandbox: %s: %s\n", what, strerror(saved));
    _exit(127);
}

void check(int rc, const char *what)
{
    if (rc != 0)
        child_fail(what);
}

void make_mount_point(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        child_fail(path);
    close(fd);
}

[[noreturn]] void run_child(const ChildPlan &plan, char *const *argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);

    // Standard streams first, so that setup failures land in the capture file.
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(plan.out_path.c_str(), O_WRONLY | O_TRUNC);
    const int err = open(plan.err_path.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0 || err < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Nothing of the test process (pseudo-terminal ends, FUSE channels) leaks in.
    syscall(SYS_close_range, 3U, ~0U, 0U);

    check(unshare(CLONE_NEWNS), "unshare");
    check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "make / private");

    check(mount("overlay", "/usr/bin", "overlay", plan.overlay_flags, plan.overlay_options.c_str()),
          "overlay on /usr/bin");
    check(mount(plan.sys_class.c_str(), "/sys/class", nullptr, MS_BIND | MS_REC, nullptr), "bind /sys/class");

    check(mount("/dev", plan.old_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr), "keep old /dev");
    check(mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=1m"), "tmpfs on /dev");
    for (size_t i = 0; i < plan.passed_src.size(); ++i) {
        make_mount_point(plan.passed_dst[i].c_str());
        check(mount(plan.passed_src[i].c_str(), plan.passed_dst[i].c_str(), nullptr, MS_BIND, nullptr),
              plan.passed_dst[i].c_str());
    }
    check(mkdir("/dev/pts", 0755), "mkdir /dev/pts");
    check(mount(plan.old_pts.c_str(), "/dev/pts", nullptr, MS_BIND | MS_REC, nullptr), "bind /dev/pts");
    check(mkdir("/dev/shm", 01777), "mkdir /dev/shm");
    mount(plan.old_shm.c_str(), "/dev/shm", nullptr, MS_BIND | MS_REC, nullptr);
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    symlink("pts/ptmx", "/dev/ptmx");
    for (size_t i = 0; i < plan.device_src.size(); ++i) {
        make_mount_point(plan.device_dst[i].c_str());
        check(mount(plan.device_src[i].c_str(), plan.device_dst[i].c_str(), nullptr, MS_BIND, nullptr),
              plan.device_dst[i].c_str());
    }
    umount2(plan.old_dev.c_str(), MNT_DETACH);

    check(chdir("/"), "chdir /");
    execv(argv[0], argv);
    child_fail(argv[0]);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

// What a stop signal leaves for Sandbox::wait(): the signal, and an eventfd
// that its poll() watches.
volatile sig_atomic_t stop_signal_caught = 0;
int stop_fd = -1;
// How long a stopped program has to exit before it is killed.
constexpr long STOP_GRACE_MS = 1000;

void on_stop_signal(int sig)
{
    const int saved = errno;
    stop_signal_caught = sig;
    const uint64_t one = 1;
    if (write(stop_fd, &one, sizeof one) < 0) {
        // Nothing to do: the poll() already has a wake-up pending.
    }
    errno = saved;
}

long now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

} // namespace

bool Sandbox::supported(std::string *why)
{
    // The only sure test is to try: make a namespace and a mount in a child.
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/mnt", "tmpfs", 0, "size=64k") != 0)
            _exit(1);
        _exit(0);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (why != nullptr)
        *why = "needs root (or CAP_SYS_ADMIN) to create a private mount namespace";
    return false;
}

Sandbox::Sandbox(SandboxOptions options) : options_(std::move(options))
{
    std::string pattern = temp_directory() + "/board-sim.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        dir_ = pattern;
    for (const char *sub : {"/usr-bin", "/usr-bin-work", "/sys-class", "/old-dev"})
        mkdir((dir_ + sub).c_str(), 0755);
}

Sandbox::~Sandbox()
{
    if (dir_.empty())
        return;
    // FTW_MOUNT: never descend into a mount someone forgot to take down.
    nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

pid_t Sandbox::spawn(const std::vector<std::string> &argv)
{
    if (dir_.empty() || argv.empty())
        return -1;

    ChildPlan plan;
    if (options_.usr_bin_read_only) {
        plan.overlay_options = "lowerdir=" + usr_bin_dir() + ":/usr/bin";
        plan.overlay_flags = MS_RDONLY;
    } else {
        plan.overlay_options = "lowerdir=/usr/bin,upperdir=" + usr_bin_dir() + ",workdir=" + dir_ + "/usr-bin-work";
    }
    plan.sys_class = sys_class_dir();
    plan.old_dev = dir_ + "/old-dev";
    for (const char *name : PASSED_DEVICES) {
        plan.passed_src.push_back(plan.old_dev + "/" + name);
        plan.passed_dst.push_back(std::string("/dev/") + name);
    }
    plan.old_pts = plan.old_dev + "/pts";
    plan.old_shm = plan.old_dev + "/shm";
    for (const auto &[name, host_path] : options_.devices) {
        plan.device_src.push_back(host_path);
        plan.device_dst.push_back("/dev/" + name);
    }
    plan.out_path = dir_ + "/stdout";
    plan.err_path = dir_ + "/stderr";
    write_file(plan.out_path, "");
    write_file(plan.err_path, "");
    plan.argv = argv;

    std::vector<char *> cargv;
    for (std::string &arg : plan.argv)
        cargv.push_back(arg.data());
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0)
        run_child(plan, cargv.data());
    return pid;
}

RunResult Sandbox::wait(pid_t pid, int timeout_ms)
{
    RunResult result;
    if (pid <= 0)
        return result;
    // The child's pidfd becomes readable when it exits: one poll() waits for
    // that, the deadline and a stop signal at once.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    long deadline = now_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        struct pollfd fds[2] = {{pidfd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const nfds_t watched = !result.stopped && stop_fd >= 0 ? 2 : 1;
        const long left = deadline - now_ms();
        const int ready = pidfd < 0 || left <= 0 ? 0 : poll(fds, watched, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            waitpid(pid, &status, 0);
            break;
        }
        if (ready > 0 && watched == 2 && (fds[1].revents & POLLIN) != 0) {
            // Pass the signal on; what has not gone a second later is killed.
            result.stopped = true;
            kill(pid, stop_signal_caught);
            deadline = now_ms() + STOP_GRACE_MS;
            continue;
        }
        // The deadline (or no pidfd, or a failed poll): kill and reap.
        result.timed_out = !result.stopped;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
    }
    if (pidfd >= 0)
        close(pidfd);
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exit_status = 128 + WTERMSIG(status);
    result.out = read_file(dir_ + "/stdout");
    result.err = read_file(dir_ + "/stderr");
    return result;
}

RunResult Sandbox::run(const std::vector<std::string> &argv, int timeout_ms)
{
    return wait(spawn(argv), timeout_ms);
}

std::string Sandbox::read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sandbox::file_exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void Sandbox::write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string temp_directory()
{
    const char *tmp = getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

bool stop_on_signals(std::string *why)
{
    if (stop_fd < 0)
        stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd < 0) {
        *why = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    return true;
}

int stop_signal()
{
    return stop_signal_caught;
}

bool isolate_mounts(std::string *why)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("cannot make a private mount namespace: ") + strerror(errno);
        return false;
    }
    return true;
}

} // namespace sim
