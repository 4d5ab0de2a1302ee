// SPDX-License-Identifier: MIT
#include "vm_run.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

#include "gpio_numbers.h"
#include "text.h"

namespace fs = std::filesystem;

namespace sim::vm {

namespace {

// A unix socket listening at `path`; -1 when it cannot be made.
int listen_unix(const std::string &path)
{
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    const int fd = path.size() < sizeof addr.sun_path ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0)) {
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
    std::smatch m;
    for (std::string text; std::getline(lines, text);)
        if (std::regex_search(text, m, value) || std::regex_search(text, m, direction))
            events.push_back({std::stoi(m[1]), m[2], std::stoi(m[3])});
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

// Serves the guest's UART with the job's hash board while the launcher runs.
// qemu connects as it starts; the launcher may fail before that.
std::vector<ReceivedFrame> serve_uart(int listen_fd, HashBoardScenario scenario, Process &launcher)
{
    struct pollfd fds[2] = {{listen_fd, POLLIN, 0}, {launcher.exit_fd(), POLLIN, 0}};
    while (poll(fds, 2, -1) < 0 && errno == EINTR && stop_signal() == 0) {
    }
    const int guest_fd = (fds[0].revents & POLLIN) != 0 ? accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (guest_fd < 0)
        return {};
    // The control line is inside the guest: the chips answer whatever it does.
    scenario.answers_after_cycles = 0;
    scenario.control_line_path.clear();
    // qemu hands the guest's bytes to the socket one or a few at a time; the
    // board takes frames out of the stream as they complete.
    HashBoard board(guest_fd, scenario);
    board.start();
    launcher.wait(NO_TIME_LIMIT);
    board.stop();
    close(guest_fd);
    return board.frames();
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
    job.timeout_s = (timeout_ms + 999) / 1000;
    if (!program.empty())
        job.files.emplace_back(program, "/usr/bin/" + name);
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
    const fs::path dir = scratch.path(), out = dir / "out", sock = dir / "uart.sock", records = dir / "records";
    const int listen_fd = job.board && !dir.empty() ? listen_unix(sock.string()) : -1;
    if (dir.empty() || (job.board && listen_fd < 0)) {
        result->error = dir.empty() ? "cannot make a scratch directory" : "cannot listen on " + sock.string();
        return 1;
    }
    std::vector<std::string> argv = {launcher_path(),  "run",
                                     "--out",          out.string(),
                                     "--timeout",      std::to_string(job.timeout_s),
                                     "--boot-timeout", std::to_string(job.boot_timeout_s),
                                     "--uart",         job.board ? "unix:" + sock.string() : "none"};
    fs::create_directories(records);
    for (const auto &[name, text] : job.records)
        Sandbox::write_file((records / name).string(), text);
    // The options given only when they are set.
    for (const auto &[option, value] :
         {std::pair{"--image", env_or("BOARD_VM_IMAGE", "")},
          {"--programs", job.programs_dir.empty() ? env_or("BOARD_VM_PROGRAMS", "") : job.programs_dir},
          {"--records", job.records.empty() ? "" : records.string()},
          {"--gpio-base", job.gpio_base != 0 ? std::to_string(job.gpio_base) : ""}})
        if (!value.empty())
            argv.insert(argv.end(), {option, value});
    for (const auto &[host, guest] : job.files)
        argv.insert(argv.end(), {"--add", host + "=" + guest});
    argv.push_back("--");
    argv.insert(argv.end(), job.command.begin(), job.command.end());

    const auto began = std::chrono::steady_clock::now();
    Process launcher(grouped_launch(argv));
    if (job.board && launcher.pid() > 0)
        result->frames = serve_uart(listen_fd, *job.board, launcher);
    const RunResult ran = launcher.wait(NO_TIME_LIMIT); // kept from the wait above, if any
    if (listen_fd >= 0)
        close(listen_fd);
    result->elapsed_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count());

    const auto read = [&out](const fs::path &name) { return Sandbox::read_file((out / name).string()); };
    result->console = read("console.log");
    const bool launched = ran.exec_errno == 0 && ran.exit_status == 0;
    if (!launched) {
        result->error = ran.exec_errno != 0 ? ran.exec_error : ran.out;
        result->error.erase(result->error.find_last_not_of('\n') + 1);
        if (result->error.empty())
            result->error = "vm/board-vm failed with status " + std::to_string(ran.exit_status);
    }
    // A command killed at its time limit still leaves its results.
    result->timed_out = fs::exists(out / "timed-out");
    if (!fs::exists(out / "status") || (!launched && !result->timed_out))
        return 1;
    const std::string status = read("status");
    const auto code = status.ends_with('\n') ? parse_number(status.substr(0, status.size() - 1), 0, 255) : std::nullopt;
    if (!code) {
        result->error = "the board's exit status is not a number: " + status;
        return 1;
    }
    result->status = static_cast<int>(*code);
    result->out = read("stdout");
    result->err = read("stderr");
    result->stty_before = read("stty-before");
    result->stty_after = read("stty");
    for (const char *name : {"minerType", "tempSensor"})
        if (fs::exists(out / "records" / name))
            result->records[name] = read(fs::path("records") / name);
    // The lines vm/init exports and reports, numbered as at base 0.
    for (int line : {GPIO_ALT_CONTROL_OFFSET, GPIO_SCL_OFFSET, GPIO_SDA_OFFSET, GPIO_DEFAULT_CONTROL_OFFSET}) {
        const fs::path gpio = fs::path("gpio") / ("gpio" + std::to_string(line));
        result->gpio_value[line] = read(gpio / "value");
        result->gpio_direction[line] = read(gpio / "direction");
    }
    result->gpio_events = parse_gpio_trace(read("gpio-trace"));
    return 0;
}

} // namespace sim::vm
