// SPDX-License-Identifier: MIT
#include "hash_board.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sstream>

#include "sandbox.h"

namespace sim {

namespace {

// Each chip of the chain answers a detection frame with one record; a chain of
// six chips fills the reply the program asks for.
constexpr int CHAIN_CHIPS = 6;

bool has_preamble(const std::vector<uint8_t> &f)
{
    return f.size() >= 2 && f[0] == 0x55 && f[1] == 0xAA;
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> body)
{
    const size_t skip = has_preamble(body) ? 2 : 0;
    body.push_back(chip_crc5(body.data() + skip, body.size() - skip));
    return body;
}

std::vector<uint8_t> chain_reply(const std::vector<uint8_t> &chip_record)
{
    std::vector<uint8_t> reply;
    for (int chip = 0; chip < CHAIN_CHIPS; ++chip)
        reply.insert(reply.end(), chip_record.begin(), chip_record.end());
    return reply;
}

bool starts_with(const std::vector<uint8_t> &data, size_t at, const std::vector<uint8_t> &prefix)
{
    if (data.size() - at < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (data[at + i] != prefix[i])
            return false;
    return true;
}

bool is_sia_or_dash(ChipFamily f)
{
    return f == ChipFamily::SIA || f == ChipFamily::DASH;
}

} // namespace

const std::vector<KnownFrame> &known_frames()
{
    static const std::vector<KnownFrame> frames = {
        {"BTC detection", {0x54, 0x05, 0x00, 0x00, 0x19}},
        {"LTC detection", {0x52, 0x04, 0x00, 0x00, 0x12}},
        {"SIA/DASH detection", {0x55, 0xAA, 0x52, 0x05, 0x00, 0x00, 0x0A}},
        {"LTC misc configuration", {0x41, 0x08, 0x00, 0x18, 0x41, 0x40, 0x7A, 0x70, 0x18}},
        {"LTC sensor register read", {0x51, 0x08, 0x00, 0x1C, 0x01, 0x98, 0xFE, 0x00, 0x08}},
        {"LTC sensor query", {0x42, 0x04, 0x00, 0x1C, 0x15}},
        {"SIA/DASH misc configuration", {0x55, 0xAA, 0x41, 0x09, 0x00, 0x1C, 0x07, 0x00, 0x7A, 0x61, 0x17}},
        {"SIA/DASH mux configuration", {0x55, 0xAA, 0x41, 0x09, 0x00, 0x40, 0x00, 0x04, 0x00, 0x00, 0x09}},
        {"SIA/DASH sensor register read", {0x55, 0xAA, 0x41, 0x09, 0x00, 0x20, 0x01, 0x98, 0xFE, 0x00, 0x14}},
        {"SIA/DASH sensor query", {0x55, 0xAA, 0x42, 0x05, 0x00, 0x20, 0x1F}},
    };
    return frames;
}

uint8_t chip_crc5(const uint8_t *data, size_t len)
{
    unsigned crc = 0x1F;
    for (size_t i = 0; i < len; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            const unsigned in = (data[i] >> bit) & 1U;
            const unsigned top = (crc >> 4) & 1U;
            crc = (crc << 1) & 0x1FU;
            if ((in ^ top) != 0)
                crc ^= 0x05U;
        }
    return static_cast<uint8_t>(crc);
}

bool frame_crc_ok(const std::vector<uint8_t> &frame)
{
    const size_t skip = has_preamble(frame) ? 2 : 0;
    if (frame.size() < skip + 2)
        return false;
    return chip_crc5(frame.data() + skip, frame.size() - skip - 1) == frame.back();
}

std::vector<uint8_t> reply_for(const HashBoardScenario &s, const std::string &name)
{
    const ChipFamily f = s.family;
    const bool detection = name == "BTC detection" || name == "LTC detection" || name == "SIA/DASH detection";
    if (detection) {
        const bool ours = (name == "BTC detection" && f == ChipFamily::BTC) ||
                          (name == "LTC detection" && f == ChipFamily::LTC) ||
                          (name == "SIA/DASH detection" && is_sia_or_dash(f));
        if (!ours)
            return {};
        if (s.detection_reply)
            return *s.detection_reply;
        switch (f) {
        case ChipFamily::BTC:
            return chain_reply(with_crc({0x13, 0x87, 0x90, 0x00, 0x00, 0x00}));
        case ChipFamily::LTC:
            return chain_reply(with_crc({0x14, 0x85, 0x00, 0x00, 0x00, 0x00}));
        case ChipFamily::SIA:
            return chain_reply(with_crc({0xAA, 0x55, 0x17, 0x20, 0x00, 0x00, 0x00, 0x00}));
        case ChipFamily::DASH:
            return chain_reply(with_crc({0xAA, 0x55, 0x17, 0x60, 0x00, 0x00, 0x00, 0x00}));
        case ChipFamily::None:
            break;
        }
        return {};
    }
    if (name == "LTC sensor query" && f == ChipFamily::LTC)
        return with_crc({s.sensor_status, 0x98, 0xFE, s.sensor_id, 0x00, 0x00});
    if (name == "SIA/DASH sensor query" && is_sia_or_dash(f))
        return with_crc({0xAA, 0x55, s.sensor_status, 0x98, 0xFE, s.sensor_id, 0x00, 0x00});
    return {};
}

ControlLineState read_control_line(const std::string &path)
{
    return parse_control_line(Sandbox::read_file(path));
}

ControlLineState parse_control_line(const std::string &written)
{
    ControlLineState state;
    std::istringstream in(written);
    std::string line;
    bool seen_low = false;
    while (std::getline(in, line)) {
        state.writes.push_back(line);
        if (line == "0") {
            seen_low = true;
            state.high = false;
        } else if (line == "1") {
            // A cycle is a rise after a fall; a first "1" only confirms the level.
            if (seen_low && !state.high)
                ++state.cycles;
            state.high = true;
        }
    }
    return state;
}

HashBoard::HashBoard(int master_fd, HashBoardScenario scenario) : master_fd_(master_fd), scenario_(std::move(scenario))
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
    thread_ = std::thread([this] { serve(); });
    struct sched_param param {};
    param.sched_priority = 10;
    pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param);
}

void HashBoard::stop()
{
    if (!thread_.joinable())
        return;
    const uint64_t one = 1;
    (void)!write(stop_fd_, &one, sizeof one);
    thread_.join();
    close(stop_fd_);
    stop_fd_ = -1;
}

void HashBoard::serve()
{
    struct pollfd fds[2] = {{master_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    uint8_t buf[512];
    const std::vector<uint8_t> noise(16, scenario_.babble.value_or(0));
    if (scenario_.babble)
        // Noise must never block the board when nobody reads the line.
        fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    for (;;) {
        if (poll(fds, 2, scenario_.babble ? 1 : -1) < 0)
            continue;
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0) {
            if (scenario_.babble)
                (void)!write(master_fd_, noise.data(), noise.size());
            continue;
        }
        const ssize_t n = read(master_fd_, buf, sizeof buf);
        if (n <= 0) {
            // No slave end open (or it hung up): wait instead of spinning.
            usleep(1000);
            continue;
        }
        const std::vector<uint8_t> reply = receive(std::vector<uint8_t>(buf, buf + n));
        if (!reply.empty())
            (void)!write(master_fd_, reply.data(), reply.size());
    }
}

std::vector<uint8_t> HashBoard::receive(const std::vector<uint8_t> &chunk)
{
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at < chunk.size()) {
        ReceivedFrame frame;
        for (const KnownFrame &known : known_frames())
            if (starts_with(chunk, at, known.bytes)) {
                frame.name = known.name;
                frame.bytes = known.bytes;
                break;
            }
        if (frame.name.empty()) {
            // Not in the catalogue: take the rest of the chunk as one frame.
            frame.name = "unknown";
            frame.bytes.assign(chunk.begin() + static_cast<long>(at), chunk.end());
        }
        at += frame.bytes.size();
        frame.crc_ok = frame_crc_ok(frame.bytes);

        std::vector<uint8_t> reply;
        if (frame.crc_ok && frame.name != "unknown")
            reply = answer(frame.name);
        frame.answered = !reply.empty();
        out.insert(out.end(), reply.begin(), reply.end());

        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(frame));
    }
    return out;
}

bool HashBoard::chips_powered() const
{
    if (scenario_.answers_after_cycles <= 0)
        return true;
    const ControlLineState line = read_control_line(scenario_.control_line_path);
    return line.high && line.cycles >= scenario_.answers_after_cycles;
}

std::vector<uint8_t> HashBoard::answer(const std::string &name)
{
    if (!chips_powered())
        return {};

    // A reset of the chips forgets which register the sensor query reads.
    const int cycles = read_control_line(scenario_.control_line_path).cycles;
    if (cycles != cycles_at_last_setup_) {
        cycles_at_last_setup_ = cycles;
        sensor_selected_ = false;
    }

    if (name == "LTC sensor register read" || name == "SIA/DASH sensor register read") {
        sensor_selected_ = true;
        return {};
    }
    std::vector<uint8_t> reply;
    if (name == "LTC sensor query" || name == "SIA/DASH sensor query") {
        if (!sensor_selected_)
            return {};
        reply = reply_for(scenario_, name);
        if (reply.empty())
            return {};
        ++sensor_queries_;
        const int k = scenario_.sensor_answers_at_query;
        if (k <= 0 || sensor_queries_ < k)
            return {};
    } else {
        reply = reply_for(scenario_, name);
    }
    if (scenario_.reply_limit && reply.size() > *scenario_.reply_limit)
        reply.resize(*scenario_.reply_limit);
    return reply;
}

std::vector<ReceivedFrame> HashBoard::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

} // namespace sim
