// SPDX-License-Identifier: MIT
#include "hash_board.h"

#include <asm/termbits.h> // termios2, a line's speed in baud; it clashes with <termios.h>
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

constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int64_t QUIET_NS = HashBoard::QUIET_MS * NS_PER_MS;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
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
    : master_fd_(master_fd), scenario_(std::move(scenario)),
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
    if (scenario_.wire)
        transmitter_ = std::thread([this] { transmit(); });
    // SCHED_FIFO when the process may have it; otherwise they keep their priority.
    const sched_param param{.sched_priority = 10};
    for (std::thread *t : {&thread_, &transmitter_})
        if (t->joinable())
            pthread_setschedparam(t->native_handle(), SCHED_FIFO, &param);
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
    receive({}); // a frame cut short by the end of the run
}

void HashBoard::serve()
{
    struct pollfd fds[2] = {{master_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    uint8_t buf[512];
    const std::optional<uint8_t> babble = scenario_.wire ? std::nullopt : scenario_.babble;
    const std::vector<uint8_t> noise(16, babble.value_or(0));
    if (babble)
        // Noise must never block the board when nobody reads the line.
        fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    for (;;) {
        int timeout_ms = babble ? 1 : -1;
        if (!incoming_.empty()) {
            // Wake when the line will have been quiet long enough.
            const auto left_ms = static_cast<int>(
                std::max<int64_t>(0, incoming_ns_.back() + QUIET_NS - now_ns() + NS_PER_MS - 1) / NS_PER_MS);
            timeout_ms = timeout_ms < 0 ? left_ms : std::min(timeout_ms, left_ms);
        }
        const int ready = poll(fds, 2, timeout_ms);
        std::vector<uint8_t> replies;
        if (ready > 0 && fds[1].revents != 0)
            return;
        if (ready > 0 && fds[0].revents != 0) {
            const ssize_t n = read(master_fd_, buf, sizeof buf);
            if (n > 0)
                replies = receive(std::vector<uint8_t>(buf, buf + n));
            else
                usleep(1000); // no slave end open (or it hung up): wait instead of spinning
        } else if (ready == 0 && babble) {
            (void)!write(master_fd_, noise.data(), noise.size());
        }
        if (!incoming_.empty() && now_ns() - incoming_ns_.back() >= QUIET_NS)
            receive({});
        // Without the wire, the replies to what one read completed go in one write.
        if (!scenario_.wire && !replies.empty())
            (void)!write(master_fd_, replies.data(), replies.size());
    }
}

// Writes each pending byte at its deadline. A byte the line cannot take (the
// program's input buffer is full) is lost, as a real receiver overruns.
void HashBoard::transmit()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (pending_.empty() && scenario_.babble) {
            line_out_idle_ns_ = std::max(now_ns(), line_out_idle_ns_) + line_framing(master_fd_).char_ns();
            pending_.push_back({line_out_idle_ns_, *scenario_.babble});
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
        if (!sent && next.frame)
            frames_[*next.frame].overrun.push_back(next.offset);
    }
}

std::vector<uint8_t> HashBoard::receive(const std::vector<uint8_t> &chunk)
{
    incoming_.insert(incoming_.end(), chunk.begin(), chunk.end());
    incoming_ns_.insert(incoming_ns_.end(), chunk.size(), now_ns());
    std::vector<uint8_t> replies;
    while (!incoming_.empty()) {
        // The first whole catalogued frame; the bytes before it are unknown.
        auto first = incoming_.end();
        const KnownFrame *found = nullptr;
        for (const KnownFrame &known : known_frames())
            if (const auto at = std::search(incoming_.begin(), incoming_.end(), known.bytes.begin(), known.bytes.end());
                at < first) {
                first = at;
                found = &known;
            }
        const auto at = static_cast<size_t>(first - incoming_.begin());
        if (found != nullptr && at == 0)
            record(found->bytes.size(), found->id, &replies);
        else if (at > 0 && (found != nullptr || chunk.empty()))
            record(at, std::nullopt, &replies);
        else
            break; // an unfinished frame, or noise that may go on
    }
    return replies;
}

// Takes the first `len` bytes not yet taken as one frame and answers it. On
// the wire, frames from the program go on the line one after the other from
// the moment their last byte was read; each reply starts `latency_us` after
// the end of its frame, or after the reply before it when that is still on
// the way, and each of its bytes is due when its last bit has arrived.
void HashBoard::record(size_t len, std::optional<FrameId> id, std::vector<uint8_t> *replies)
{
    const auto end = static_cast<long>(len);
    ReceivedFrame frame{.bytes = {incoming_.begin(), incoming_.begin() + end}, .id = id};
    const int64_t arrived_ns = incoming_ns_[len - 1];
    incoming_.erase(incoming_.begin(), incoming_.begin() + end);
    incoming_ns_.erase(incoming_ns_.begin(), incoming_ns_.begin() + end);
    frame.crc_ok = frame_crc_ok(frame.bytes);
    const std::optional<WireModel> &wire = scenario_.wire;
    if (frame.crc_ok && frame.id)
        frame.reply = chips_answer(scenario_, chips_, *frame.id,
                                   parse_control_line(Sandbox::read_file(scenario_.control_line_path)));
    // The wire flips one bit, chosen at random, in each byte picked at its rate.
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> bit(0, 7);
    for (uint8_t &byte : frame.reply)
        if (wire && wire->corrupt_rate > 0.0 && chance(corruption_rng_) < wire->corrupt_rate)
            byte = static_cast<uint8_t>(byte ^ (1U << bit(corruption_rng_)));
    frame.answered = !frame.reply.empty();
    replies->insert(replies->end(), frame.reply.begin(), frame.reply.end());
    const int64_t char_ns = line_framing(master_fd_).char_ns();
    std::lock_guard<std::mutex> lock(mutex_);
    if (wire) {
        line_in_idle_ns_ = std::max(arrived_ns, line_in_idle_ns_) + static_cast<int64_t>(len) * char_ns;
        int64_t due = std::max<int64_t>(line_in_idle_ns_ + std::max(0, wire->latency_us) * 1000LL, line_out_idle_ns_);
        for (size_t k = 0; k < frame.reply.size(); ++k) {
            due += char_ns;
            pending_.push_back({due, frame.reply[k], frames_.size(), k});
        }
        if (frame.answered)
            line_out_idle_ns_ = due;
        pending_changed_.notify_all();
    }
    frames_.push_back(std::move(frame));
}

std::vector<ReceivedFrame> HashBoard::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

} // namespace sim
