// SPDX-License-Identifier: MIT
// The simulated tree served over FUSE, driven through real files as the tool
// would. Needs root and /dev/fuse; skips otherwise.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "gpio_fs.h"
#include "test_master.h"

namespace {

using namespace sim;
using i2c_board_test::PosixFileOps;
using i2c_board_test::TestMaster;

bool mounted_at(const std::string &dir)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + dir + " ") != std::string::npos)
            return true;
    return false;
}

// A temporary directory with the tree mounted on it; unmounted and removed on
// destruction, whatever the test did.
class MountedTree : public testing::Test {
protected:
    void mount(GpioBoardOptions options = {})
    {
        char tmpl[] = "/tmp/i2c-board-fs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        board_ = std::make_unique<GpioBoard>(std::move(options));
        fs_ = std::make_unique<GpioFs>(*board_, dir_);
        if (!fs_->error().empty())
            GTEST_SKIP() << "cannot mount FUSE: " << fs_->error();
    }
    void TearDown() override
    {
        fs_.reset();
        if (!dir_.empty())
            ::rmdir(dir_.c_str());
    }
    std::string path(GpioFile file) const { return dir_ + "/" + gpio_file_path(file); }

    std::string dir_;
    std::unique_ptr<GpioBoard> board_;
    std::unique_ptr<GpioFs> fs_;
};

std::set<std::string> list(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

TEST_F(MountedTree, LooksLikeSysfs)
{
    mount();
    EXPECT_EQ(list(dir_), (std::set<std::string>{".", "..", "gpio19", "gpio23"}));
    EXPECT_EQ(list(dir_ + "/gpio23"), (std::set<std::string>{".", "..", "direction", "value"}));
    for (GpioFile f : GPIO_FILES) {
        struct stat st {};
        ASSERT_EQ(::stat(path(f).c_str(), &st), 0) << path(f);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
}

TEST_F(MountedTree, ReadsAndWritesLikeTheKernel)
{
    mount();
    const int wr = ::open(path(GpioFile::SdaDirection).c_str(), O_WRONLY);
    ASSERT_GE(wr, 0);
    EXPECT_EQ(::write(wr, "out", 3), 3);
    ::close(wr);

    const int val = ::open(path(GpioFile::SdaValue).c_str(), O_RDWR);
    ASSERT_GE(val, 0);
    char buf[16] = {};
    EXPECT_EQ(::read(val, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "0\n") << "\"out\" drives low";
    EXPECT_EQ(::read(val, buf, sizeof buf), 0) << "nothing after the text";
    // Writes act whatever the offset, with or without a newline.
    EXPECT_EQ(::pwrite(val, "1\n", 2, 100), 2);
    EXPECT_EQ(board_->sda(), 1);
    EXPECT_EQ(::write(val, "0", 1), 1);
    EXPECT_EQ(board_->sda(), 0);
    EXPECT_EQ(::pread(val, buf, sizeof buf, 0), 2);
    EXPECT_EQ(std::string(buf, 2), "0\n");
    EXPECT_EQ(::pread(val, buf, sizeof buf, 2), 0);
    EXPECT_EQ(::pread(val, buf, 1, 1), 1) << "a read within the text";
    EXPECT_EQ(buf[0], '\n');
    EXPECT_EQ(::write(val, "maybe", 5), -1);
    EXPECT_EQ(errno, EINVAL);
    ::close(val);

    // A shell redirection opens with O_TRUNC; that must work too.
    const std::string cmd = "echo 1 > " + path(GpioFile::SdaValue);
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(board_->sda(), 1);
}

TEST_F(MountedTree, FaultScenarios)
{
    GpioBoardOptions o;
    o.missing_files = {GpioFile::SclDirection};
    o.failing_writes = {GpioFile::SclValue};
    o.open_failures = {{GpioFile::SdaValue, 2, EIO}};
    mount(o);

    EXPECT_EQ(list(dir_ + "/gpio19"), (std::set<std::string>{".", "..", "value"}));
    EXPECT_EQ(::open(path(GpioFile::SclDirection).c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, ENOENT);

    const int scl = ::open(path(GpioFile::SclValue).c_str(), O_WRONLY);
    ASSERT_GE(scl, 0);
    EXPECT_EQ(::write(scl, "0", 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(board_->scl(), 1) << "a failed write changes nothing";
    ::close(scl);

    int fd = ::open(path(GpioFile::SdaValue).c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(::open(path(GpioFile::SdaValue).c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EIO);
    fd = ::open(path(GpioFile::SdaValue).c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << "only the second open fails";
    ::close(fd);
    const GpioFileCounts c = board_->counts(GpioFile::SdaValue);
    EXPECT_EQ(c.opens, 2);
    EXPECT_EQ(c.failed_opens, 1);
}

TEST_F(MountedTree, TransactionsThroughTheFiles)
{
    GpioBoardOptions o;
    o.device.byte = 0xA5;
    mount(o);
    {
        PosixFileOps ops(dir_);
        TestMaster master(ops);
        ASSERT_TRUE(master.begin());
        std::uint8_t byte = 0;
        ASSERT_EQ(master.read_data(0x5E, &byte), 0);
        EXPECT_EQ(byte, 0xA5);
        EXPECT_EQ(master.write_data(0x5E, 72), 0);
        EXPECT_EQ(board_->device().byte(), 72);
    }
    // The read samples nine times (address ACK, eight bits), the write twice
    // (two ACKs); each sample reopens SDA's value twice. Plus the first open.
    const GpioFileCounts sda = board_->counts(GpioFile::SdaValue);
    EXPECT_EQ(sda.opens, 1 + 2 * (9 + 2));
    EXPECT_EQ(sda.reads, 9 + 2);
    EXPECT_EQ(sda.closes, sda.opens);
    EXPECT_EQ(board_->counts(GpioFile::SclValue).opens, 1);
}

TEST_F(MountedTree, UnmountLeavesNothingBehind)
{
    mount();
    ASSERT_TRUE(mounted_at(dir_));
    fs_.reset();
    EXPECT_FALSE(mounted_at(dir_));
}

} // namespace
