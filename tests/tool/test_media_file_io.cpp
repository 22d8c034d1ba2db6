// Whole files in and out: an output replaces a file only once it is complete, keeps its mode
// and links, writes devices in place, and "-" streams standard input and output.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "media/audio_file.h"
#include "media/file_io.h"
#include "support/tarnel_run.h"

using namespace tarnel::media;
using tarnel::test::contains;
using tarnel::test::read_file;
using tarnel::test::write_file;
namespace fs = std::filesystem;

namespace {

const std::vector<uint8_t> kBits = {0x12, 0x34, 0x00, 0xFF, 0x80};

fs::perms mode_of(const std::string& path) {
    return fs::status(path).permissions() & fs::perms::mask;
}

void expect_one_line(const io_status& s, const std::string& says) {
    EXPECT_FALSE(s.ok());
    EXPECT_FALSE(contains(s.error, "\n")) << s.error;
    EXPECT_TRUE(contains(s.error, says)) << s.error;
}

// Points a standard descriptor at another file for the life of the object.
class redirect {
public:
    redirect(int fd, const std::string& target, int flags) : fd_(fd), saved_(::dup(fd)) {
        std::fflush(stdout);  // what the test runner has buffered belongs to the old target
        const int t = ::open(target.c_str(), flags, 0644);
        if (t < 0 || saved_ < 0) throw std::runtime_error("cannot redirect to " + target);
        ::dup2(t, fd_);
        ::close(t);
    }
    ~redirect() {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    redirect(const redirect&) = delete;
    redirect& operator=(const redirect&) = delete;

private:
    int fd_;
    int saved_;
};

class FileIo : public tarnel::test::scratch_test {};

}  // namespace

TEST_F(FileIo, BytesRoundTripAndAReplacedFileKeepsItsModeWhileANewOneGetsTheUsualMode) {
    ASSERT_TRUE(write_output(path("speech.bit"), kBits).ok());
    EXPECT_EQ(kBits, read_bytes(path("speech.bit")).bytes);
    write_file(path("out.bit"), std::string(5000, 'x'));
    ASSERT_EQ(0, ::chmod(path("out.bit").c_str(), 0640));
    const mode_t old = ::umask(022);
    const io_status replaced = write_output(path("out.bit"), kBits);
    const io_status fresh = write_output(path("new.bit"), kBits);
    ::umask(old);
    ASSERT_TRUE(replaced.ok() && fresh.ok()) << replaced.error << fresh.error;
    EXPECT_EQ(kBits, read_bytes(path("out.bit")).bytes);
    EXPECT_EQ(fs::perms(0640), mode_of(path("out.bit")));
    EXPECT_EQ(fs::perms(0644), mode_of(path("new.bit")));
    EXPECT_EQ((std::vector<std::string>{"new.bit", "out.bit", "speech.bit"}), entries());
}

TEST_F(FileIo, WritesThroughASymbolicLink) {
    write_file(path("target.bit"), "old");
    fs::create_symlink(path("target.bit"), path("link.bit"));
    ASSERT_TRUE(write_output(path("link.bit"), kBits).ok());
    EXPECT_TRUE(fs::is_symlink(path("link.bit")));
    EXPECT_EQ(kBits, read_bytes(path("target.bit")).bytes);
    EXPECT_EQ((std::vector<std::string>{"link.bit", "target.bit"}), entries());
}

TEST_F(FileIo, ReadErrorsAreOneLine) {
    write_file(path("empty.bit"), "");
    EXPECT_EQ(path("gone.bit") + ": no such file", read_bytes(path("gone.bit")).error);
    EXPECT_EQ(path("empty.bit") + ": empty file", read_bytes(path("empty.bit")).error);
    EXPECT_EQ(dir_ + ": is a directory, not a file", read_bytes(dir_).error);
    EXPECT_TRUE(read_bytes(dir_).bytes.empty());
}

TEST_F(FileIo, RefusesAnUnwritableDestinationLeavingNothing) {
    write_file(path("plain"), "x");
    fs::create_directory(path("sub"));
    expect_one_line(write_output(path("missing/out.bit"), kBits), path("missing/out.bit"));
    expect_one_line(write_output(path("plain/out.bit"), kBits), path("plain/out.bit"));
    expect_one_line(write_output(path("sub"), kBits), path("sub") + ": is a directory, not a file");
    expect_one_line(write_output("", kBits), "empty output file name");
    EXPECT_EQ((std::vector<std::string>{"plain", "sub"}), entries());
    EXPECT_TRUE(fs::is_empty(path("sub")));
}

TEST_F(FileIo, AFailedWriteKeepsThePreviousFileAndNoTemporary) {
    // A file-size limit makes the write to the temporary file fail part-way, as a full disk would.
    write_file(path("out.wav"), std::string(300, 'U'));
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
    const io_status replace = write_pcm(path("out.wav"), std::vector<int16_t>(20000, 1), false);
    const io_status fresh = write_output(path("fresh.bit"), std::vector<uint8_t>(10000, 1));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    expect_one_line(replace, "write failed");
    expect_one_line(fresh, "write failed");
    EXPECT_EQ(std::string(300, 'U'), read_file(path("out.wav")));
    EXPECT_EQ(std::vector<std::string>{"out.wav"}, entries());
}

TEST_F(FileIo, DeviceOutputIsWrittenInPlaceAndAFullDeviceIsAnError) {
    if (!make_devices()) GTEST_SKIP() << "making devices needs root";
    expect_one_line(write_output(path("full"), kBits), path("full") + ": write failed");
    EXPECT_TRUE(write_output(path("null"), kBits).ok());
    for (const char* device : {"full", "null"})
        EXPECT_TRUE(fs::is_character_file(path(device))) << device << " was replaced";
    EXPECT_EQ((std::vector<std::string>{"full", "null"}), entries()) << "no temporary file left";
}

TEST_F(FileIo, AFileTheUserMayNotWriteIsKeptAndAReplacedOneKeepsItsOwner) {
    write_file(path("locked.bit"), "old");
    ASSERT_EQ(0, ::chmod(path("locked.bit").c_str(), 0444));
    if (::geteuid() != 0) {
        expect_one_line(write_output(path("locked.bit"), kBits),
                        path("locked.bit") + ": cannot write: Permission denied");
    } else {
        // Root may write anything, so the refusal is tried by a child that gives up its rights.
        ASSERT_EQ(0, ::chmod(dir_.c_str(), 0777));
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            const io_status s = write_output(path("locked.bit"), kBits);
            ::_exit(s.ok() ? 1 : contains(s.error, ": cannot write: Permission denied") ? 0 : 2);
        }
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        // Root replacing someone else's file leaves it theirs, as writing into it would.
        write_file(path("theirs.bit"), "old");
        ASSERT_EQ(0, ::chown(path("theirs.bit").c_str(), 65534, 65534));
        ASSERT_EQ(0, ::chmod(path("theirs.bit").c_str(), 0640));
        ASSERT_TRUE(write_output(path("theirs.bit"), kBits).ok());
        struct stat st;
        ASSERT_EQ(0, ::stat(path("theirs.bit").c_str(), &st));
        EXPECT_EQ(65534u, st.st_uid);
        EXPECT_EQ(65534u, st.st_gid);
        EXPECT_EQ(fs::perms(0640), mode_of(path("theirs.bit")));
        EXPECT_EQ(kBits, read_bytes(path("theirs.bit")).bytes);
        ::unlink(path("theirs.bit").c_str());
    }
    EXPECT_EQ("old", read_file(path("locked.bit")));
    EXPECT_EQ(std::vector<std::string>{"locked.bit"}, entries()) << "no temporary file left";
}

TEST_F(FileIo, StandardInputAndOutputStreams) {
    ASSERT_TRUE(write_output(path("in.bit"), kBits).ok());
    {
        redirect in(STDIN_FILENO, path("in.bit"), O_RDONLY);
        EXPECT_EQ(kBits, read_bytes("-").bytes);
    }
    {
        redirect in(STDIN_FILENO, "/dev/null", O_RDONLY);
        EXPECT_EQ("standard input: no data", read_bytes("-").error);
    }
    // Results are checked once standard output is back, where test failures are reported.
    io_status wav, bits, full, other_fd;
    {
        redirect out(STDOUT_FILENO, path("out.wav"), O_WRONLY | O_CREAT | O_TRUNC);
        wav = write_pcm("-", {1, 2, 3}, false);
    }
    {
        redirect out(STDOUT_FILENO, path("out.bit"), O_WRONLY | O_CREAT | O_TRUNC);
        bits = write_output("-", kBits);
    }
    const bool devices = make_devices();
    if (devices) {
        redirect out(STDOUT_FILENO, path("full"), O_WRONLY);
        full = write_output("-", kBits);
    }
    const int fd = ::open(path("fd.bit").c_str(), O_WRONLY | O_CREAT, 0644);
    other_fd = write_output("-", kBits, fd);
    ::close(fd);
    EXPECT_TRUE(wav.ok() && bits.ok() && other_fd.ok())
        << wav.error << bits.error << other_fd.error;
    EXPECT_EQ(read_file(path("out.wav")), tarnel::test::as_string(wav_image({1, 2, 3})));
    EXPECT_EQ(kBits, read_bytes(path("out.bit")).bytes);
    EXPECT_EQ(kBits, read_bytes(path("fd.bit")).bytes);
    if (devices) expect_one_line(full, "standard output: write failed");
}
