// SPDX-License-Identifier: MIT
#include "hash_board.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "sandbox.h"

namespace sim {

namespace {

// Thread priority of the board's threads when the process may use SCHED_FIFO.
constexpr int BOARD_PRIORITY = 10;
// A paced transmitter wakes at least this often to see whether it must stop.
constexpr int64_t STOP_CHECK_NS = 10'000'000;
constexpr int64_t NS_PER_US = 1000;
constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int64_t QUIET_NS = HashBoard::QUIET_MS * NS_PER_MS;

struct SpeedName {
    speed_t code;
    int baud;
};
constexpr SpeedName SPEEDS[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

int baud_of(speed_t code)
{
    for (const SpeedName &s : SPEEDS)
        if (s.code == code)
            return s.baud;
    return 0;
}

LineFraming framing_of(int fd, bool program_receives)
{
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0)
        return LineFraming{};
    speed_t code = program_receives ? cfgetispeed(&tio) : cfgetospeed(&tio);
    if (code == B0)
        code = cfgetospeed(&tio);
    const int baud = baud_of(code);
    if (baud == 0)
        return LineFraming{};
    return LineFraming{baud, character_bits(tio.c_cflag)};
}

int64_t now_ns()
{
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Sleeps until the absolute time `deadline_ns`, so that pacing errors do not
// add up from byte to byte.
void sleep_until(int64_t deadline_ns)
{
    struct timespec t {};
    t.tv_sec = static_cast<time_t>(deadline_ns / 1'000'000'000);
    t.tv_nsec = static_cast<long>(deadline_ns % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

bool starts_with(const std::vector<uint8_t> &data, size_t at, const std::vector<uint8_t> &prefix)
{
    return data.size() - at >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), data.begin() + static_cast<long>(at));
}

// The catalogued frame whose bytes start at `at`, if any.
const KnownFrame *whole_frame_at(const std::vector<uint8_t> &data, size_t at)
{
    for (const KnownFrame &known : known_frames())
        if (starts_with(data, at, known.bytes))
            return &known;
    return nullptr;
}

} // namespace

void raise_to_board_priority(std::thread &thread)
{
    struct sched_param param {};
    param.sched_priority = BOARD_PRIORITY;
    pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
}

int character_bits(tcflag_t cflag)
{
    const int parity = (cflag & PARENB) != 0 ? 1 : 0;
    const int stop = (cflag & CSTOPB) != 0 ? 2 : 1;
    return 1 + 8 + parity + stop;
}

LineFraming line_framing(int fd)
{
    return framing_of(fd, true);
}

LineFraming line_framing_out(int fd)
{
    return framing_of(fd, false);
}

HashBoard::HashBoard(int master_fd, HashBoardScenario scenario)
    : master_fd_(master_fd), scenario_(std::move(scenario)), chips_(scenario_),
      corruption_rng_(scenario_.wire ? scenario_.wire->corrupt_seed : 1U)
{}

HashBoard::~HashBoard()
{
    stop();
}

void HashBoard::start()
{
    if (thread_.joinable())
        return;
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
    raise_to_board_priority(thread_);
    if (scenario_.wire) {
        transmitter_ = std::thread([this] { transmit(); });
        raise_to_board_priority(transmitter_);
    }
}

void HashBoard::stop()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        pending_changed_.notify_all();
        const uint64_t one = 1;
        (void)!write(stop_fd_, &one, sizeof one);
        thread_.join();
        if (transmitter_.joinable())
            transmitter_.join();
        close(stop_fd_);
        stop_fd_ = -1;
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.clear();
    }
    take_frames({}, 0, true); // a frame cut short by the end of the run
}

void HashBoard::serve()
{
    struct pollfd fds[2] = {{master_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    uint8_t buf[512];
    const bool instant_babble = scenario_.babble && !scenario_.wire;
    const std::vector<uint8_t> noise(16, scenario_.babble.value_or(0));
    if (instant_babble)
        // Noise must never block the board when nobody reads the line.
        fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    for (;;) {
        int timeout_ms = instant_babble ? 1 : -1;
        if (!incoming_.empty()) {
            // Wake when the line will have been quiet long enough.
            const int64_t left_ns = std::max<int64_t>(0, incoming_ns_.back() + QUIET_NS - now_ns());
            const int left_ms = static_cast<int>((left_ns + NS_PER_MS - 1) / NS_PER_MS);
            timeout_ms = timeout_ms < 0 ? left_ms : std::min(timeout_ms, left_ms);
        }
        const int ready = poll(fds, 2, timeout_ms);
        if (ready > 0 && fds[1].revents != 0)
            return;
        if (ready > 0 && fds[0].revents != 0) {
            const int64_t read_ns = now_ns();
            const ssize_t n = read(master_fd_, buf, sizeof buf);
            if (n > 0)
                deliver(take_frames(std::vector<uint8_t>(buf, buf + n), read_ns, false));
            else
                usleep(1000); // no slave end open (or it hung up): wait instead of spinning
        } else if (ready == 0 && instant_babble) {
            (void)!write(master_fd_, noise.data(), noise.size());
        }
        if (!incoming_.empty() && now_ns() - incoming_ns_.back() >= QUIET_NS)
            deliver(take_frames({}, 0, true));
    }
}

// Sends the replies to the frames just taken: paced by the wire model, or at once.
void HashBoard::deliver(const std::vector<Answer> &answers)
{
    if (scenario_.wire) {
        schedule(answers);
        return;
    }
    std::vector<uint8_t> out;
    for (const Answer &a : answers)
        out.insert(out.end(), a.reply.begin(), a.reply.end());
    if (!out.empty())
        (void)!write(master_fd_, out.data(), out.size());
}

// Frames from the program go on the line one after the other from the moment
// their last byte was read; each reply starts `latency_us` after the end of
// its frame, or after the reply before it when that is still on the way, and
// each of its bytes is due when its last bit has arrived.
void HashBoard::schedule(const std::vector<Answer> &answers)
{
    const int64_t frame_char_ns = line_framing_out(master_fd_).char_ns();
    const int64_t reply_char_ns = line_framing(master_fd_).char_ns();
    const int64_t latency_ns = static_cast<int64_t>(std::max(0, scenario_.wire->latency_us)) * NS_PER_US;
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Answer &a : answers) {
            const int64_t frame_end =
                std::max(a.arrived_ns, line_in_idle_ns_) + static_cast<int64_t>(a.frame_len) * frame_char_ns;
            line_in_idle_ns_ = frame_end;
            if (a.reply.empty())
                continue;
            int64_t due = std::max(frame_end + latency_ns, line_out_idle_ns_);
            for (size_t k = 0; k < a.reply.size(); ++k) {
                due += reply_char_ns;
                pending_.push_back({due, a.reply[k], a.frame, k});
            }
            line_out_idle_ns_ = due;
            added = true;
        }
    }
    if (added)
        pending_changed_.notify_all();
}

// Writes each pending byte at its deadline. A byte the line cannot take (the
// program's input buffer is full) is lost, as a real receiver overruns.
void HashBoard::transmit()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            if (!scenario_.babble) {
                pending_changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
                continue;
            }
            line_out_idle_ns_ = std::max(now_ns(), line_out_idle_ns_) + line_framing(master_fd_).char_ns();
            pending_.push_back({line_out_idle_ns_, *scenario_.babble});
        }
        const Timed next = pending_.front();
        lock.unlock();
        const int64_t wake = std::min(next.due_ns, now_ns() + STOP_CHECK_NS);
        sleep_until(wake);
        lock.lock();
        if (stopping_ || wake < next.due_ns)
            continue;
        pending_.pop_front();
        lock.unlock();
        struct pollfd out = {master_fd_, POLLOUT, 0};
        const bool sent =
            poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0 && write(master_fd_, &next.byte, 1) == 1;
        lock.lock();
        if (!sent && next.frame != NO_FRAME)
            frames_[next.frame].overrun.push_back(next.offset);
    }
}

std::vector<uint8_t> HashBoard::receive(const std::vector<uint8_t> &chunk)
{
    std::vector<uint8_t> out;
    for (const Answer &a : take_frames(chunk, now_ns(), false))
        out.insert(out.end(), a.reply.begin(), a.reply.end());
    return out;
}

std::vector<HashBoard::Answer> HashBoard::take_frames(const std::vector<uint8_t> &chunk, int64_t read_ns, bool quiet)
{
    incoming_.insert(incoming_.end(), chunk.begin(), chunk.end());
    incoming_ns_.insert(incoming_ns_.end(), chunk.size(), read_ns);
    std::vector<Answer> answers;
    while (!incoming_.empty()) {
        // The first whole catalogued frame; the bytes before it are unknown.
        size_t at = 0;
        const KnownFrame *found = nullptr;
        while (at < incoming_.size() && (found = whole_frame_at(incoming_, at)) == nullptr)
            ++at;
        if (found != nullptr && at == 0)
            record(found->bytes.size(), found->id, &answers);
        else if (at > 0 && (found != nullptr || quiet))
            record(at, std::nullopt, &answers);
        else
            break; // an unfinished frame, or noise that may go on
    }
    return answers;
}

// Takes the first `len` bytes not yet taken as one frame and answers it.
void HashBoard::record(size_t len, std::optional<FrameId> id, std::vector<Answer> *answers)
{
    ReceivedFrame frame;
    frame.id = id;
    frame.bytes.assign(incoming_.begin(), incoming_.begin() + static_cast<long>(len));
    const int64_t arrived_ns = incoming_ns_[len - 1];
    incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<long>(len));
    incoming_ns_.erase(incoming_ns_.begin(), incoming_ns_.begin() + static_cast<long>(len));
    frame.crc_ok = frame_crc_ok(frame.bytes);

    std::vector<uint8_t> reply;
    if (frame.crc_ok && frame.id)
        reply = chips_.answer(*frame.id, parse_control_line(Sandbox::read_file(scenario_.control_line_path)));
    if (scenario_.wire)
        corrupt(reply);
    frame.answered = !reply.empty();
    frame.reply = reply;
    std::lock_guard<std::mutex> lock(mutex_);
    answers->push_back({len, arrived_ns, std::move(reply), frames_.size()});
    frames_.push_back(std::move(frame));
}

// Flips one bit, chosen at random, in each byte picked at the wire's rate.
void HashBoard::corrupt(std::vector<uint8_t> &reply)
{
    const double rate = scenario_.wire->corrupt_rate;
    if (rate <= 0.0)
        return;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> bit(0, 7);
    for (uint8_t &byte : reply)
        if (chance(corruption_rng_) < rate)
            byte = static_cast<uint8_t>(byte ^ (1U << bit(corruption_rng_)));
}

std::vector<ReceivedFrame> HashBoard::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

} // namespace sim
