// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 35

#include "gpio_fs.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace sim {

namespace {

// The fixed tree: inode numbers are indices into NODES (FUSE's root is 1).
// A line's directory has no fixed name: it is the board's gpio_line_name()
// of its `file`, which carries the board's GPIO base.
struct Node {
    fuse_ino_t parent;
    const char *name; // nullptr for a line's directory
    bool is_dir;
    GpioFile file; // the line of a directory, or the file
};

constexpr fuse_ino_t ROOT = FUSE_ROOT_ID;
constexpr Node NODES[] = {
    {0, "", true, GpioFile::SclDirection}, // unused: inode 0
    {ROOT, "", true, GpioFile::SclDirection},      {ROOT, nullptr, true, GpioFile::SclDirection},
    {ROOT, nullptr, true, GpioFile::SdaDirection}, {2, "direction", false, GpioFile::SclDirection},
    {2, "value", false, GpioFile::SclValue},       {3, "direction", false, GpioFile::SdaDirection},
    {3, "value", false, GpioFile::SdaValue},
};
constexpr fuse_ino_t NODE_COUNT = sizeof NODES / sizeof NODES[0];

// Sysfs reports every attribute as a 4096-byte file whatever it holds.
constexpr off_t ATTRIBUTE_SIZE = 4096;

GpioBoard &board_of(fuse_req_t req)
{
    return static_cast<GpioFs *>(fuse_req_userdata(req))->board();
}

std::string node_name(const GpioBoard &board, fuse_ino_t ino)
{
    return NODES[ino].name != nullptr ? NODES[ino].name : gpio_line_name(NODES[ino].file, board.gpio_base());
}

bool node_present(GpioBoard &board, fuse_ino_t ino)
{
    return ino >= ROOT && ino < NODE_COUNT && (NODES[ino].is_dir || board.exists(NODES[ino].file));
}

struct stat node_stat(fuse_ino_t ino)
{
    static const std::time_t boot = std::time(nullptr);
    struct stat st {};
    st.st_ino = ino;
    if (NODES[ino].is_dir) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | 0644;
        st.st_nlink = 1;
        st.st_size = ATTRIBUTE_SIZE;
        st.st_blksize = 4096;
    }
    st.st_atime = st.st_mtime = st.st_ctime = boot;
    return st;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    GpioBoard &board = board_of(req);
    for (fuse_ino_t ino = ROOT + 1; ino < NODE_COUNT; ++ino) {
        if (NODES[ino].parent != parent || node_name(board, ino) != name)
            continue;
        if (!node_present(board, ino))
            break;
        fuse_entry_param e{};
        e.ino = ino;
        e.attr = node_stat(ino);
        // No caching: the kernel asks again on every path walk.
        e.attr_timeout = 0;
        e.entry_timeout = 0;
        fuse_reply_entry(req, &e);
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (!node_present(board_of(req), ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const struct stat st = node_stat(ino);
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
    GpioBoard &board = board_of(req);
    if (!node_present(board, ino) || !NODES[ino].is_dir) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::string buf;
    auto add = [&](const char *name, fuse_ino_t child) {
        const struct stat st = node_stat(child);
        const size_t len = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
        const size_t old = buf.size();
        buf.resize(old + len);
        fuse_add_direntry(req, buf.data() + old, len, name, &st, static_cast<off_t>(old + len));
    };
    add(".", ino);
    add("..", ino == ROOT ? ROOT : NODES[ino].parent);
    for (fuse_ino_t child = ROOT + 1; child < NODE_COUNT; ++child)
        if (NODES[child].parent == ino && node_present(board, child))
            add(node_name(board, child).c_str(), child);
    if (off >= static_cast<off_t>(buf.size()))
        fuse_reply_buf(req, nullptr, 0);
    else
        fuse_reply_buf(req, buf.data() + off, std::min(size, buf.size() - static_cast<size_t>(off)));
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (ino >= NODE_COUNT || NODES[ino].is_dir) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if (const int error = board_of(req).open(NODES[ino].file)) {
        fuse_reply_err(req, error);
        return;
    }
    fi->direct_io = 1; // no page cache: every read and write comes here
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    std::string text;
    if (const int error = board_of(req).read(NODES[ino].file, off, size, &text)) {
        fuse_reply_err(req, error);
        return;
    }
    fuse_reply_buf(req, text.data(), text.size());
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t, fuse_file_info *)
{
    if (const int error = board_of(req).write(NODES[ino].file, std::string_view(buf, size))) {
        fuse_reply_err(req, error);
        return;
    }
    fuse_reply_write(req, size);
}

// flush comes synchronously with every close(2); release may come later, and
// without a handler of its own libfuse answers it with success.
void op_flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    board_of(req).close(NODES[ino].file);
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

GpioFs::GpioFs(GpioBoard &board) : board_(board) {}

GpioFs::~GpioFs()
{
    unmount();
}

bool GpioFs::mount(const std::string &dir, std::string *why)
{
    auto fail = [&](const std::string &message) {
        if (why)
            *why = message;
        return false;
    };
    if (session_)
        return fail("already mounted at " + mountpoint_);
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return fail(std::string("/dev/fuse: ") + std::strerror(errno));

    // allow_other: the program under test may run with other credentials.
    char arg0[] = "sim-gpio", arg1[] = "-o", arg2[] = "fsname=sim-gpio,subtype=sim-gpio,allow_other";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    const fuse_lowlevel_ops ops = make_ops();
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args);
    if (!session_)
        return fail("fuse_session_new failed");
    if (fuse_session_mount(session_, dir.c_str()) != 0) {
        fuse_session_destroy(session_);
        session_ = nullptr;
        return fail("cannot mount FUSE on " + dir);
    }
    mountpoint_ = dir;
    // Non-blocking, so the serving thread can wait on both the device and the wake pipe.
    const int fd = fuse_session_fd(session_);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (::pipe2(wake_fds_, O_CLOEXEC) != 0) {
        unmount();
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    stop_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void GpioFs::serve()
{
    fuse_buf buf{};
    pollfd fds[2] = {{fuse_session_fd(session_), POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    while (!stop_ && !fuse_session_exited(session_)) {
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

void GpioFs::unmount()
{
    if (!session_)
        return;
    stop_ = true;
    if (thread_.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fds_[1], &byte, 1);
        thread_.join();
    }
    for (int &fd : wake_fds_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Detaches the mount and closes the device, which aborts the connection.
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
}

} // namespace sim
