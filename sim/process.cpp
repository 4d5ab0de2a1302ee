// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

// What a stop signal leaves for Process::wait(): the signal, and an eventfd
// that its poll() watches.
volatile sig_atomic_t stop_signal_caught = 0;
int stop_fd = -1;
// How long a stopped program has to exit before it is killed.
constexpr long STOP_GRACE_MS = 1000;
// The child's report of a failed step, written at once (within PIPE_BUF).
struct Report {
    int err;
    char step[252];
};
constexpr int REPORT_FD = 3;

void on_stop_signal(int sig)
{
    const int saved = errno;
    stop_signal_caught = sig;
    const uint64_t one = 1;
    (void)!write(stop_fd, &one, sizeof one); // fails only with a wake-up already pending
    errno = saved;
}

long now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Puts `fd` at `target`; false with errno set.
bool put(int fd, int target)
{
    return fd >= 0 && (fd == target || dup2(fd, target) == target);
}

// Between fork and exec: only async-signal-safe calls.
[[noreturn]] void run_child(const ProcessLaunch &launch, const char *path, char *const *argv, int report_fd, int out_fd,
                            int err_fd)
{
    const char *step = nullptr;
    if (!launch.stdin_path.empty() && !put(open(launch.stdin_path.c_str(), O_RDONLY | O_CLOEXEC), 0))
        step = launch.stdin_path.c_str();
    for (const int target : {1, 2}) {
        const Sink sink = target == 1 ? launch.out : launch.err;
        const int capture_fd = target == 1 ? out_fd : err_fd;
        const int fd = sink == Sink::Capture ? capture_fd : sink == Sink::Stdout ? 1 : target;
        if (step == nullptr && !put(fd, target))
            step = "redirect";
    }
    // Nothing of this process (pseudo-terminal ends, FUSE channels) leaks in.
    if (report_fd != REPORT_FD && dup3(report_fd, REPORT_FD, O_CLOEXEC) == REPORT_FD)
        report_fd = REPORT_FD;
    syscall(SYS_close_range, REPORT_FD + 1U, ~0U, 0U);
    if (step == nullptr && launch.child_setup)
        step = launch.child_setup();
    if (step == nullptr) {
        execv(path, argv);
        step = argv[0];
    }
    Report report{errno, {}};
    const size_t len = std::min(strlen(step), sizeof report.step);
    memcpy(report.step, step, len);
    // Should this fail too, the parent sees a child that exited 127.
    (void)!write(report_fd, &report, sizeof report.err + len);
    _exit(127);
}

std::string read_capture(int fd)
{
    std::string text(static_cast<size_t>(std::max<off_t>(0, lseek(fd, 0, SEEK_END))), '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(fd, text.data(), text.size(), 0))));
    return text;
}

} // namespace

Process::Process(const ProcessLaunch &launch)
{
    if (launch.argv.empty()) {
        result_ = {.exec_errno = EINVAL, .exec_error = "no program to run"};
        return;
    }
    const std::string path = find_on_path(launch.argv[0]);
    std::vector<char *> argv;
    for (const std::string &arg : launch.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    // A capture that cannot be made fails in the child, as a failed redirection.
    if (launch.out == Sink::Capture)
        out_fd_ = memfd_create("stdout", MFD_CLOEXEC);
    if (launch.err == Sink::Capture)
        err_fd_ = memfd_create("stderr", MFD_CLOEXEC);

    int pipe_fds[2] = {-1, -1};
    if (pipe2(pipe_fds, O_CLOEXEC) == 0 && (pid_ = fork()) == 0)
        run_child(launch, path.empty() ? argv[0] : path.c_str(), argv.data(), pipe_fds[1], out_fd_, err_fd_);
    Report report{errno, "fork"};
    ssize_t n = sizeof report.err + 4;
    close(pipe_fds[1]);
    while (pid_ > 0 && (n = read(pipe_fds[0], &report, sizeof report)) < 0 && errno == EINTR) {
    }
    close(pipe_fds[0]);
    if (n <= 0) { // nothing written: the exec succeeded
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        return;
    }
    result_.exec_errno = report.err;
    result_.exec_error =
        std::string(report.step, static_cast<size_t>(n) - sizeof report.err) + ": " + strerror(report.err);
    while (pid_ > 0 && waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {pidfd_, out_fd_, err_fd_})
        if (fd >= 0)
            close(fd);
}

RunResult Process::wait(int timeout_ms)
{
    if (pid_ <= 0)
        return result_;
    // The pidfd becomes readable when the child exits: one poll() waits for
    // that, the deadline and a stop signal at once.
    long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        struct pollfd fds[2] = {{pidfd_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const nfds_t watched = !result_.stopped && stop_fd >= 0 ? 2 : 1;
        const long left = deadline < 0 ? -1 : std::max(0L, deadline - now_ms());
        const int ready = pidfd_ < 0 || left == 0 ? 0 : poll(fds, watched, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            break;
        if (ready > 0 && watched == 2 && (fds[1].revents & POLLIN) != 0) {
            // Pass the signal on; what has not gone a second later is killed.
            result_.stopped = true;
            kill(pid_, stop_signal_caught);
            deadline = now_ms() + STOP_GRACE_MS;
            continue;
        }
        // The deadline (or no pidfd, or a failed poll): kill.
        result_.timed_out = !result_.stopped;
        kill(pid_, SIGKILL);
        break;
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        result_.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
        result_.exit_status = 128 + result_.signal;
    }
    if (out_fd_ >= 0)
        result_.out = read_capture(out_fd_);
    if (err_fd_ >= 0)
        result_.err = read_capture(err_fd_);
    return result_;
}

std::string find_on_path(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    std::istringstream dirs(env_or("PATH", "/usr/bin:/bin"));
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

std::string env_or(const char *name, const std::string &fallback)
{
    const char *value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
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

} // namespace sim
