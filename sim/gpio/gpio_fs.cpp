// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 35

#include "gpio_fs.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace sim {

namespace {

// The fixed tree: inode 1 (FUSE's root) is the class directory, 2 and 3 the
// directories of SCL's and SDA's line, 4 to 7 the GpioFiles in their order.
// Names carry the board's GPIO base, so they come from gpio_file_path().
constexpr fuse_ino_t ROOT = FUSE_ROOT_ID;
constexpr fuse_ino_t FIRST_FILE = 4;
constexpr fuse_ino_t END = FIRST_FILE + 4;

// Sysfs reports every attribute as a 4096-byte file whatever it holds.
constexpr off_t ATTRIBUTE_SIZE = 4096;

bool is_dir(fuse_ino_t ino)
{
    return ino < FIRST_FILE;
}

// The file, or for a line's directory the line's direction file; not for the root.
GpioFile file_of(fuse_ino_t ino)
{
    return GPIO_FILES[is_dir(ino) ? 2 * (ino - 2) : ino - FIRST_FILE];
}

fuse_ino_t parent_of(fuse_ino_t ino)
{
    return is_dir(ino) ? ROOT : 2 + (ino - FIRST_FILE) / 2;
}

GpioBoard &board_of(fuse_req_t req)
{
    return *static_cast<GpioBoard *>(fuse_req_userdata(req));
}

// "gpio19" for a line's directory, "value" for a file.
std::string name_of(const GpioBoard &board, fuse_ino_t ino)
{
    const std::string path = gpio_file_path(file_of(ino), board.gpio_base());
    const std::size_t slash = path.find('/');
    return is_dir(ino) ? path.substr(0, slash) : path.substr(slash + 1);
}

bool present(const GpioBoard &board, fuse_ino_t ino)
{
    return ino >= ROOT && ino < END && (is_dir(ino) || board.exists(file_of(ino)));
}

struct stat stat_of(fuse_ino_t ino)
{
    static const std::time_t boot = std::time(nullptr);
    struct stat st {};
    st.st_ino = ino;
    st.st_mode = is_dir(ino) ? S_IFDIR | 0755 : S_IFREG | 0644;
    st.st_nlink = is_dir(ino) ? 2 : 1;
    if (!is_dir(ino)) {
        st.st_size = ATTRIBUTE_SIZE;
        st.st_blksize = 4096;
    }
    st.st_atime = st.st_mtime = st.st_ctime = boot;
    return st;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    const GpioBoard &board = board_of(req);
    for (fuse_ino_t ino = ROOT + 1; ino < END; ++ino) {
        if (parent_of(ino) != parent || name_of(board, ino) != name)
            continue;
        if (!present(board, ino))
            break;
        fuse_entry_param e{};
        e.ino = ino;
        e.attr = stat_of(ino);
        // No caching (timeouts 0): the kernel asks again on every path walk.
        fuse_reply_entry(req, &e);
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (!present(board_of(req), ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const struct stat st = stat_of(ino);
    fuse_reply_attr(req, &st, 0);
}

// Truncation (a shell's "echo 1 > value") and other attribute changes are
// accepted and ignored, as sysfs does.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi)
{
    op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    const GpioBoard &board = board_of(req);
    if (!present(board, ino) || !is_dir(ino)) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::string buf;
    auto add = [&](const std::string &name, fuse_ino_t child) {
        const struct stat st = stat_of(child);
        const size_t len = fuse_add_direntry(req, nullptr, 0, name.c_str(), nullptr, 0);
        const size_t old = buf.size();
        buf.resize(old + len);
        fuse_add_direntry(req, buf.data() + old, len, name.c_str(), &st, static_cast<off_t>(old + len));
    };
    add(".", ino);
    add("..", parent_of(ino));
    for (fuse_ino_t child = ROOT + 1; child < END; ++child)
        if (parent_of(child) == ino && present(board, child))
            add(name_of(board, child), child);
    const size_t from = std::min(buf.size(), static_cast<size_t>(off));
    fuse_reply_buf(req, buf.data() + from, std::min(size, buf.size() - from));
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (is_dir(ino) || ino >= END) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if (const int error = board_of(req).open(file_of(ino))) {
        fuse_reply_err(req, error);
        return;
    }
    fi->direct_io = 1; // no page cache: every read and write comes here
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    const std::string text = board_of(req).read(file_of(ino));
    const size_t from = std::min(text.size(), static_cast<size_t>(off));
    fuse_reply_buf(req, text.data() + from, std::min(size, text.size() - from));
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t, fuse_file_info *)
{
    if (const int error = board_of(req).write(file_of(ino), std::string_view(buf, size)))
        fuse_reply_err(req, error);
    else
        fuse_reply_write(req, size);
}

// flush comes synchronously with every close(2); release may come later, and
// without a handler of its own libfuse answers it with success.
void op_flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    board_of(req).close(file_of(ino));
    fuse_reply_err(req, 0);
}

fuse_lowlevel_ops make_ops()
{
    fuse_lowlevel_ops ops{};
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    return ops;
}

} // namespace

GpioFs::GpioFs(GpioBoard &board, const std::string &dir)
{
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        error_ = std::string("/dev/fuse: ") + std::strerror(errno);
        return;
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        error_ = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    // allow_other: the program under test may run with other credentials.
    char arg0[] = "sim-gpio", arg1[] = "-o", arg2[] = "fsname=sim-gpio,subtype=sim-gpio,allow_other";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    const fuse_lowlevel_ops ops = make_ops();
    session_ = fuse_session_new(&args, &ops, sizeof ops, &board);
    fuse_opt_free_args(&args);
    if (!session_) {
        error_ = "fuse_session_new failed";
        return;
    }
    if (fuse_session_mount(session_, dir.c_str()) != 0) {
        fuse_session_destroy(session_);
        session_ = nullptr;
        error_ = "cannot mount FUSE on " + dir;
        return;
    }
    // Non-blocking, so the serving thread can wait on both the device and the wake fd.
    const int fd = fuse_session_fd(session_);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { serve(); });
}

void GpioFs::serve()
{
    fuse_buf buf{};
    pollfd fds[2] = {{fuse_session_fd(session_), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    while (!fuse_session_exited(session_)) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (!fds[0].revents)
            continue;
        const int res = fuse_session_receive_buf(session_, &buf);
        if (res == -EINTR || res == -EAGAIN)
            continue;
        if (res <= 0)
            break; // unmounted elsewhere, or a device error
        fuse_session_process_buf(session_, &buf);
    }
    std::free(buf.mem);
}

GpioFs::~GpioFs()
{
    if (thread_.joinable()) {
        const std::uint64_t wake = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &wake, sizeof wake);
        thread_.join();
    }
    if (wake_fd_ >= 0)
        ::close(wake_fd_);
    if (session_) {
        // Detaches the mount and closes the device, which aborts the connection.
        fuse_session_unmount(session_);
        fuse_session_destroy(session_);
    }
}

I2cRunReport run_i2c_bitbang(GpioBoard &board, const std::string &binary, const std::vector<std::string> &args,
                             int timeout_ms, const std::vector<std::string> &launcher)
{
    I2cRunReport report;
    Sandbox sandbox;
    if (sandbox.dir().empty()) {
        report.setup_error = "cannot create a directory for the sandbox";
        return report;
    }
    // Declared after the sandbox: unmounted before its directory is removed.
    const GpioFs fs(board, sandbox.gpio_dir());
    if (!fs.error().empty()) {
        report.setup_error = "cannot mount the simulated GPIO tree: " + fs.error();
        return report;
    }
    std::vector<std::string> argv = launcher;
    argv.push_back(binary);
    argv.insert(argv.end(), args.begin(), args.end());
    const auto start = std::chrono::steady_clock::now();
    report.run = sandbox.run(argv, timeout_ms);
    report.wall_us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    return report;
}

} // namespace sim
