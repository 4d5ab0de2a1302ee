// SPDX-License-Identifier: MIT
#include "vm_run.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include "gpio_numbers.h"

namespace fs = std::filesystem;

namespace sim::vm {

namespace {

// The whole file; empty when it cannot be read.
std::string slurp(const fs::path &path)
{
    return Sandbox::read_file(path.string());
}

std::string env_or(const char *name, const std::string &fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

int listen_unix(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        close(fd);
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The kernel trace's text (tracing/trace) as events.
std::vector<GpioEvent> parse_gpio_trace(const std::string &trace)
{
    // e.g. "  sh-61  [000] .....  1.5: gpio_value: 27 set 0"
    //      "  sh-61  [000] .....  1.5: gpio_direction: 23 in (0)"
    static const std::regex value(R"(gpio_value: (\d+) +(set|get) (\d+))");
    static const std::regex direction(R"(gpio_direction: (\d+) +(in|out) \((-?\d+)\))");
    std::vector<GpioEvent> events;
    std::istringstream lines(trace);
    std::string text;
    std::smatch m;
    while (std::getline(lines, text)) {
        if (std::regex_search(text, m, value) || std::regex_search(text, m, direction))
            events.push_back({std::stoi(m[1]), m[2], std::stoi(m[3])});
    }
    return events;
}

// The launcher, its output captured, in a process group of its own (a
// terminal's Ctrl-C reaches board-sim, which passes it on).
ProcessLaunch grouped_launch(std::vector<std::string> argv)
{
    return {.argv = std::move(argv),
            .stdin_path = "/dev/null",
            .out = Sink::Capture,
            .err = Sink::Stdout,
            .child_setup = [] { return setpgid(0, 0) == 0 ? nullptr : "setpgid"; }};
}

} // namespace

std::vector<std::string> EmulatedBoard::writes_to(int line) const
{
    std::vector<std::string> writes;
    for (const GpioEvent &e : gpio_events)
        if (e.line == line && e.what == "set")
            writes.push_back(std::to_string(e.value));
    return writes;
}

VmJob program_job(const std::string &name, const std::string &program, const std::vector<std::string> &args,
                  int timeout_ms)
{
    VmJob job;
    job.command = {name};
    job.command.insert(job.command.end(), args.begin(), args.end());
    if (!program.empty())
        job.files.emplace_back(program, "/usr/bin/" + name);
    job.timeout_s = (timeout_ms + 999) / 1000;
    return job;
}

RunResult as_run_result(const VmResult &result)
{
    return {.timed_out = result.timed_out, .exit_status = result.status, .out = result.out, .err = result.err};
}

std::string launcher_path()
{
    return env_or("BOARD_VM_LAUNCHER", MINER_TOOLS_SOURCE_DIR "/vm/board-vm");
}

std::string find_image()
{
    std::string image = env_or("BOARD_VM_IMAGE", "");
    if (!image.empty())
        return image;
    const fs::path script = fs::path(launcher_path()).parent_path() / "build-image.sh";
    const RunResult printed = run_process(grouped_launch({script.string(), "--print"}), NO_TIME_LIMIT);
    if (printed.exit_status != 0)
        return "";
    // The last line names the image.
    std::istringstream lines(printed.out);
    for (std::string line; std::getline(lines, line);)
        image = line;
    return image;
}

int run_on_vm(const VmJob &job, VmResult *result)
{
    *result = VmResult{};
    const TempDir scratch("vm-run.");
    if (scratch.path().empty()) {
        result->error = "cannot make a scratch directory";
        return 1;
    }
    const fs::path dir = scratch.path();
    const fs::path out = dir / "out";
    const fs::path sock = dir / "uart.sock";

    std::vector<std::string> argv = {launcher_path(),  "run",
                                     "--out",          out.string(),
                                     "--timeout",      std::to_string(job.timeout_s),
                                     "--boot-timeout", std::to_string(job.boot_timeout_s)};
    const std::string image = env_or("BOARD_VM_IMAGE", "");
    if (!image.empty())
        argv.insert(argv.end(), {"--image", image});
    const std::string programs = job.programs_dir.empty() ? env_or("BOARD_VM_PROGRAMS", "") : job.programs_dir;
    if (!programs.empty())
        argv.insert(argv.end(), {"--programs", programs});
    if (!job.records.empty()) {
        const fs::path records = dir / "records";
        fs::create_directories(records);
        for (const auto &[name, text] : job.records)
            Sandbox::write_file((records / name).string(), text);
        argv.insert(argv.end(), {"--records", records.string()});
    }
    if (job.gpio_base != 0)
        argv.insert(argv.end(), {"--gpio-base", std::to_string(job.gpio_base)});
    for (const auto &[host, guest] : job.files)
        argv.insert(argv.end(), {"--add", host + "=" + guest});

    int listen_fd = -1;
    if (job.board) {
        listen_fd = listen_unix(sock.string());
        if (listen_fd < 0) {
            result->error = "cannot listen on " + sock.string();
            return 1;
        }
        argv.insert(argv.end(), {"--uart", "unix:" + sock.string()});
    } else {
        argv.insert(argv.end(), {"--uart", "none"});
    }
    argv.push_back("--");
    argv.insert(argv.end(), job.command.begin(), job.command.end());

    const auto began = std::chrono::steady_clock::now();
    Process launcher(grouped_launch(argv));

    if (job.board && launcher.pid() > 0) {
        // qemu connects as it starts; the launcher may fail before that.
        int guest_fd = -1;
        struct pollfd fds[2] = {{listen_fd, POLLIN, 0}, {launcher.exit_fd(), POLLIN, 0}};
        while (poll(fds, 2, -1) < 0 && errno == EINTR && stop_signal() == 0) {
        }
        if ((fds[0].revents & POLLIN) != 0)
            guest_fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (guest_fd >= 0) {
            HashBoardScenario scenario = *job.board;
            // The control line is inside the guest: the chips answer whatever it does.
            scenario.answers_after_cycles = 0;
            scenario.control_line_path.clear();
            // qemu hands the guest's bytes to the socket one or a few at a
            // time; the board takes frames out of the stream as they complete.
            HashBoard board(guest_fd, scenario);
            board.start();
            launcher.wait(NO_TIME_LIMIT);
            board.stop();
            result->frames = board.frames();
            close(guest_fd);
        }
    }
    const RunResult ran = launcher.wait(NO_TIME_LIMIT); // kept from the wait above, if any
    if (listen_fd >= 0)
        close(listen_fd);
    result->elapsed_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count());

    result->launcher_status = ran.exec_errno != 0 ? -1 : ran.exit_status;
    result->console = slurp(out / "console.log");
    if (result->launcher_status != 0) {
        result->error = ran.exec_errno != 0 ? ran.exec_error : ran.out;
        while (!result->error.empty() && result->error.back() == '\n')
            result->error.pop_back();
        if (result->error.empty())
            result->error = "vm/board-vm failed with status " + std::to_string(result->launcher_status);
    }
    // A command killed at its time limit still leaves its results.
    result->timed_out = fs::exists(out / "timed-out");
    if (!fs::exists(out / "status") || (result->launcher_status != 0 && !result->timed_out))
        return 1;
    const std::string status = slurp(out / "status");
    char *end = nullptr;
    result->status = static_cast<int>(std::strtol(status.c_str(), &end, 10));
    if (end == status.c_str() || *end != '\n') {
        result->error = "the board's exit status is not a number: " + status;
        return 1;
    }
    result->out = slurp(out / "stdout");
    result->err = slurp(out / "stderr");
    result->stty_before = slurp(out / "stty-before");
    result->stty_after = slurp(out / "stty");
    for (const char *name : {"minerType", "tempSensor"})
        if (fs::exists(out / "records" / name))
            result->records[name] = slurp(out / "records" / name);
    // The lines vm/init exports and reports, numbered as at base 0.
    for (int line : {GPIO_ALT_CONTROL_OFFSET, GPIO_SCL_OFFSET, GPIO_SDA_OFFSET, GPIO_DEFAULT_CONTROL_OFFSET}) {
        const fs::path dir = out / "gpio" / ("gpio" + std::to_string(line));
        result->gpio_value[line] = slurp(dir / "value");
        result->gpio_direction[line] = slurp(dir / "direction");
    }
    result->gpio_events = parse_gpio_trace(slurp(out / "gpio-trace"));
    return 0;
}

} // namespace sim::vm
