// SPDX-License-Identifier: MIT
#include "hash_board.h"

// The kernel's termios2 gives a line's speed in baud, not as a B-code; it
// clashes with <termios.h>, which this file therefore does without.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "sandbox.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Thread priority of the board's threads when the process may use SCHED_FIFO.
constexpr int BOARD_PRIORITY = 10;
constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int64_t QUIET_NS = HashBoard::QUIET_MS * NS_PER_MS;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Gives `thread` SCHED_FIFO when the process may have it; otherwise it keeps
// its priority.
void raise_to_board_priority(std::thread &thread)
{
    struct sched_param param {};
    param.sched_priority = BOARD_PRIORITY;
    pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
}

// The catalogued frame whose bytes start at `at`, if any.
const KnownFrame *whole_frame_at(const std::vector<uint8_t> &data, size_t at)
{
    for (const KnownFrame &known : known_frames())
        if (data.size() - at >= known.bytes.size() &&
            std::equal(known.bytes.begin(), known.bytes.end(), data.begin() + static_cast<long>(at)))
            return &known;
    return nullptr;
}

} // namespace

int character_bits(unsigned cflag)
{
    const int parity = (cflag & PARENB) != 0 ? 1 : 0;
    const int stop = (cflag & CSTOPB) != 0 ? 2 : 1;
    return 1 + 8 + parity + stop;
}

// The input speed, which the kernel gives as the output speed when the
// program set none of its own.
LineFraming line_framing(int fd)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0 || tio.c_ispeed == 0)
        return LineFraming{};
    return LineFraming{static_cast<int>(tio.c_ispeed), character_bits(tio.c_cflag)};
}

HashBoard::HashBoard(int master_fd, HashBoardScenario scenario)
    : master_fd_(master_fd), chips_(std::move(scenario)),
      corruption_rng_(chips_.scenario().wire ? chips_.scenario().wire->corrupt_seed : 1U)
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
    if (chips_.scenario().wire) {
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
            pending_.clear();
        }
        pending_changed_.notify_all();
        const uint64_t one = 1;
        (void)!write(stop_fd_, &one, sizeof one);
        thread_.join();
        if (transmitter_.joinable())
            transmitter_.join();
        close(stop_fd_);
        stop_fd_ = -1;
    }
    take_frames({}, 0, true); // a frame cut short by the end of the run
}

void HashBoard::serve()
{
    struct pollfd fds[2] = {{master_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    uint8_t buf[512];
    const std::optional<uint8_t> babble = chips_.scenario().wire ? std::nullopt : chips_.scenario().babble;
    const std::vector<uint8_t> noise(16, babble.value_or(0));
    if (babble)
        // Noise must never block the board when nobody reads the line.
        fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    for (;;) {
        int timeout_ms = babble ? 1 : -1;
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
        } else if (ready == 0 && babble) {
            (void)!write(master_fd_, noise.data(), noise.size());
        }
        if (!incoming_.empty() && now_ns() - incoming_ns_.back() >= QUIET_NS)
            deliver(take_frames({}, 0, true));
    }
}

// Sends the replies to the frames just taken, at once or paced by the wire
// model: frames from the program go on the line one after the other from the
// moment their last byte was read; each reply starts `latency_us` after the
// end of its frame, or after the reply before it when that is still on the
// way, and each of its bytes is due when its last bit has arrived.
void HashBoard::deliver(const std::vector<Answer> &answers)
{
    const std::optional<WireModel> &wire = chips_.scenario().wire;
    if (!wire) {
        std::vector<uint8_t> out;
        for (const Answer &a : answers)
            out.insert(out.end(), a.reply.begin(), a.reply.end());
        if (!out.empty())
            (void)!write(master_fd_, out.data(), out.size());
        return;
    }
    const int64_t char_ns = line_framing(master_fd_).char_ns();
    const int64_t latency_ns = static_cast<int64_t>(std::max(0, wire->latency_us)) * 1000;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Answer &a : answers) {
        line_in_idle_ns_ = std::max(a.arrived_ns, line_in_idle_ns_) + static_cast<int64_t>(a.frame_len) * char_ns;
        int64_t due = std::max(line_in_idle_ns_ + latency_ns, line_out_idle_ns_);
        for (size_t k = 0; k < a.reply.size(); ++k) {
            due += char_ns;
            pending_.push_back({due, a.reply[k], a.frame, k});
        }
        if (!a.reply.empty())
            line_out_idle_ns_ = due;
    }
    pending_changed_.notify_all();
}

// Writes each pending byte at its deadline. A byte the line cannot take (the
// program's input buffer is full) is lost, as a real receiver overruns.
void HashBoard::transmit()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (pending_.empty() && chips_.scenario().babble) {
            line_out_idle_ns_ = std::max(now_ns(), line_out_idle_ns_) + line_framing(master_fd_).char_ns();
            pending_.push_back({line_out_idle_ns_, *chips_.scenario().babble});
        }
        // Woken by stop(), by new bytes, or at the next byte's deadline.
        if (pending_.empty()) {
            pending_changed_.wait(lock);
            continue;
        }
        const Timed next = pending_.front();
        if (now_ns() < next.due_ns) {
            pending_changed_.wait_until(lock, Clock::time_point(std::chrono::nanoseconds(next.due_ns)));
            continue;
        }
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
    const auto end = static_cast<long>(len);
    ReceivedFrame frame{.bytes = {incoming_.begin(), incoming_.begin() + end}, .id = id};
    const int64_t arrived_ns = incoming_ns_[len - 1];
    incoming_.erase(incoming_.begin(), incoming_.begin() + end);
    incoming_ns_.erase(incoming_ns_.begin(), incoming_ns_.begin() + end);
    frame.crc_ok = frame_crc_ok(frame.bytes);
    const HashBoardScenario &s = chips_.scenario();
    if (frame.crc_ok && frame.id)
        frame.reply = chips_.answer(*frame.id, parse_control_line(Sandbox::read_file(s.control_line_path)));
    // The wire flips one bit, chosen at random, in each byte picked at its rate.
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> bit(0, 7);
    for (uint8_t &byte : frame.reply)
        if (s.wire && s.wire->corrupt_rate > 0.0 && chance(corruption_rng_) < s.wire->corrupt_rate)
            byte = static_cast<uint8_t>(byte ^ (1U << bit(corruption_rng_)));
    frame.answered = !frame.reply.empty();
    std::lock_guard<std::mutex> lock(mutex_);
    answers->push_back({len, arrived_ns, frame.reply, frames_.size()});
    frames_.push_back(std::move(frame));
}

std::vector<ReceivedFrame> HashBoard::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

} // namespace sim
