// Whole files in and out: an output replaces a file only once it is complete, keeps its mode
// and links, writes devices in place, and "-" streams standard input and output.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

fs::perms mode_of(const std::string& path) { return fs::status(path).permissions() & fs::perms::mask; }

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
    expect_one_line(write_output("/dev/full", kBits), "/dev/full: write failed");
    EXPECT_TRUE(write_output("/dev/null", kBits).ok());
    for (const char* device : {"/dev/full", "/dev/null"})
        EXPECT_TRUE(fs::is_character_file(device)) << device << " was replaced";
    for (const auto& e : fs::directory_iterator("/dev"))
        EXPECT_FALSE(contains(e.path().filename().string(), ".tmp-")) << e.path();
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
    {
        redirect out(STDOUT_FILENO, "/dev/full", O_WRONLY);
        full = write_output("-", kBits);
    }
    const int fd = ::open(path("fd.bit").c_str(), O_WRONLY | O_CREAT, 0644);
    other_fd = write_output("-", kBits, fd);
    ::close(fd);
    EXPECT_TRUE(wav.ok() && bits.ok() && other_fd.ok()) << wav.error << bits.error << other_fd.error;
    EXPECT_EQ(read_file(path("out.wav")), tarnel::test::as_string(wav_image({1, 2, 3})));
    EXPECT_EQ(kBits, read_bytes(path("out.bit")).bytes);
    EXPECT_EQ(kBits, read_bytes(path("fd.bit")).bytes);
    expect_one_line(full, "standard output: write failed");
}
