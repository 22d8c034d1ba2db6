// The program codes as the data flows: memory that does not grow with the input, output that
// follows its input through a pipe, and a progress line only where someone watches a terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include "media/wav_format.h"
#include "support/sanitizers.h"
#include "support/tarnel_run.h"

extern char** environ;

using namespace tarnel::test;

namespace {

// The built program as a child process on the given descriptors; every other descriptor of
// the test's is opened close-on-exec, so that the child holds no pipe end open by mistake.
pid_t spawn_tarnel(const std::vector<std::string>& args, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    const std::string program = std::string(TARNEL_BINARY_DIR) + "/tarnel";
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The signals as a shell would leave them, whatever this process ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct finished {
    int code = -1;      // exit status, or -1
    int signal = 0;     // the signal that ended it, if one did
    long peak_kib = 0;  // the child's largest resident set
};

// Waits for the child, watching its high-water mark of resident memory as it runs. The mark
// only rises, so its last reading holds any growth with the input. (The rusage of a child
// started from this process would count this process's own memory too: the child's first
// moments share it.)
finished wait_for(pid_t pid) {
    finished f;
    const std::string status_file = "/proc/" + std::to_string(pid) + "/status";
    for (;;) {
        std::ifstream status_in(status_file);
        for (std::string line; std::getline(status_in, line);)
            if (line.rfind("VmHWM:", 0) == 0) f.peak_kib = std::stol(line.substr(6));
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done != 0) {
            if (done == pid && WIFEXITED(status)) f.code = WEXITSTATUS(status);
            if (done == pid && WIFSIGNALED(status)) f.signal = WTERMSIG(status);
            return f;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A WAV file of `seconds` of the bundled speech over and over.
void write_long_wav(const std::string& file, size_t seconds) {
    const bytes speech = tarnel::media::pcm_image(tarnel::test::load_speech_sample());
    const size_t total = seconds * tarnel::kSampleRate * 2;
    const auto header = tarnel::media::wav_header(static_cast<uint32_t>(total));
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), header.size());
    for (size_t done = 0; done < total; done += speech.size())
        out.write(reinterpret_cast<const char*>(speech.data()),
                  static_cast<std::streamsize>(std::min(speech.size(), total - done)));
}

class TarnelStreaming : public scratch_test {
protected:
    void SetUp() override {
        scratch_test::SetUp();
        old_sigpipe_ = ::signal(SIGPIPE, SIG_IGN);  // a child that died must fail the test only
    }
    void TearDown() override {
        ::signal(SIGPIPE, old_sigpipe_);
        scratch_test::TearDown();
    }
    // Runs the program on files, its output and diagnostics in scratch files.
    finished run_files(const std::vector<std::string>& args) {
        const int in = ::open(path("none").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        const int out =
            ::open(path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err =
            ::open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const finished f = wait_for(spawn_tarnel(args, in, out, err));
        for (int fd : {in, out, err}) ::close(fd);
        return f;
    }
    sighandler_t old_sigpipe_ = SIG_DFL;
};

}  // namespace

TEST_F(TarnelStreaming, MemoryStaysTheSameForFourMinutesOfAudioOrThirty) {
#if defined(TARNEL_ASAN_BUILD)
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine say nothing of the program's";
#endif
    // Four minutes is past the length up to which transcode keeps both signals for STOI.
    std::map<std::string, long> peak[2];
    const size_t minutes[2] = {4, 30};
    for (int run = 0; run < 2; ++run) {
        write_long_wav(path("in.wav"), minutes[run] * 60);
        const struct {
            std::string name;
            std::vector<std::string> args;
        } commands[] = {
            {"encode", {"encode", "-q", path("in.wav"), path("coded.g729")}},
            {"decode", {"decode", "-q", path("coded.g729"), path("out.wav")}},
            {"decode --framed", {"decode", "-q", "--framed", path("coded.rtpf"), path("out.wav")}},
            {"transcode", {"transcode", path("in.wav"), path("out.wav")}},
        };
        for (const auto& c : commands) {
            if (c.name == "decode --framed") {
                // Each frame as one payload after its length.
                const std::string coded = read_file(path("coded.g729"));
                std::string framed;
                for (size_t at = 0; at < coded.size(); at += 10)
                    framed += std::string("\0\x0a", 2) + coded.substr(at, 10);
                write_file(path("coded.rtpf"), framed);
            }
            const finished f = run_files(c.args);
            ASSERT_EQ(f.code, 0) << c.name << ": " << read_file(path("stderr"));
            peak[run][c.name] = f.peak_kib;
        }
        EXPECT_TRUE(contains(read_file(path("stdout")),
                             "STOI:                   not measured (inputs over 3 minutes)\n"));
    }
    for (const auto& [name, short_kib] : peak[0]) {
        // Holding the input, or any signal, whole would add some 28 MB for 26 more minutes.
        EXPECT_LT(peak[1][name], short_kib + 2048)
            << name << ": peak resident memory " << short_kib << " KiB for 4 minutes, "
            << peak[1][name] << " KiB for 30";
    }
}

TEST_F(TarnelStreaming, OutputFollowsEachHostFrameBeforeTheInputEnds) {
    samples speech = tarnel::test::load_speech_sample();
    speech.resize(320);  // two host frames
    const std::string pcm = as_string(tarnel::media::pcm_image(speech));
    const std::string coded = as_string(codec_encode(speech));
    const auto header = tarnel::media::wav_header(tarnel::media::kStreamedWavDataSize);
    const std::string wav_header(header.begin(), header.end());
    const struct {
        std::vector<std::string> args;
        std::string input;
        size_t output;  // bytes that must have come out before the input is closed
    } cases[] = {
        {{"decode", "-", "-"}, coded, wav_header.size() + 2 * 320},
        {{"decode", "--framed", "-", "-"},
         std::string("\0\x14", 2) + coded.substr(0, 20) + std::string("\0\x14", 2) +
             coded.substr(20),
         wav_header.size() + 2 * 320},
        {{"encode", "--raw", "-", "-"}, pcm, 40},
        {{"encode", "-", "-"}, wav_header + pcm, 40},
        {{"transcode", "--raw", "-", "-"}, pcm, 2 * (320 - tarnel::kCodecDelay)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        int in[2], out[2];
        ASSERT_EQ(0, ::pipe2(in, O_CLOEXEC));
        ASSERT_EQ(0, ::pipe2(out, O_CLOEXEC));
        const int err =
            ::open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, "-q");
        const pid_t pid = spawn_tarnel(args, in[0], out[1], err);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(0, tarnel::media::write_all(
                         in[1], reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()));
        std::string got;
        pollfd p{out[0], POLLIN, 0};
        char buf[4096];
        while (got.size() < c.output && ::poll(&p, 1, 60000) == 1) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        EXPECT_GE(got.size(), c.output) << "with the input still open";
        ::close(in[1]);
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        ::close(out[0]);
        EXPECT_EQ(wait_for(pid).code, 0) << read_file(path("stderr"));
    }
}

TEST_F(TarnelStreaming, ProgressShowsOnATerminalOnlyAndNeverWithQuiet) {
    // Audio trickles in over more than the second after which a line appears.
    const std::string tenth = as_string(tarnel::media::pcm_image(samples(800, 300)));
    for (const bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "-q" : "");
        int master = -1, slave = -1, in[2];
        ASSERT_EQ(0, ::openpty(&master, &slave, nullptr, nullptr, nullptr));
        for (int fd : {master, slave}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ASSERT_EQ(0, ::pipe2(in, O_CLOEXEC));
        const int out =
            ::open(path("o.g729").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> args = {"encode", "--raw", "-", "-"};
        if (quiet) args.insert(args.begin() + 1, "-q");
        const pid_t pid = spawn_tarnel(args, in[0], out, slave);
        for (int fd : {in[0], out, slave}) ::close(fd);
        ASSERT_GT(pid, 0);
        for (int i = 0; i < 16; ++i) {
            tarnel::media::write_all(in[1], reinterpret_cast<const uint8_t*>(tenth.data()),
                                     tenth.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::close(in[1]);
        EXPECT_EQ(wait_for(pid).code, 0);
        std::string shown;
        char buf[4096];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
            shown.append(buf, static_cast<size_t>(n));
        ::close(master);
        if (quiet) {
            EXPECT_EQ(shown, "");
        } else {
            EXPECT_TRUE(contains(shown, "\rencoding standard input: 1.")) << shown;
            EXPECT_TRUE(contains(shown, " s of audio, ")) << shown;
            EXPECT_TRUE(contains(shown, " times real time\033[K")) << shown;
            // Erased before the summary.
            EXPECT_TRUE(
                contains(shown, "\r\033[Kencoded standard input -> standard output: 160 frames"))
                << shown;
        }
    }
}

TEST_F(TarnelStreaming, AnInterruptedRunLeavesNoFileBehind) {
    const std::string audio = as_string(tarnel::media::pcm_image(samples(8000, 300)));
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        int in[2];
        ASSERT_EQ(0, ::pipe2(in, O_CLOEXEC));
        const int err =
            ::open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t pid =
            spawn_tarnel({"transcode", "--raw", "-", path("out.wav")}, in[0], err, err);
        ::close(in[0]);
        ::close(err);
        ASSERT_GT(pid, 0);
        tarnel::media::write_all(in[1], reinterpret_cast<const uint8_t*>(audio.data()),
                                 audio.size());
        // Interrupted once the output is under way, with the input still open.
        bool started = false;
        for (int i = 0; i < 2000 && !started; ++i) {
            for (const std::string& name : entries())
                started = started || contains(name, ".out.wav.tmp-");
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(started);
        ::kill(pid, sig);
        EXPECT_EQ(wait_for(pid).signal, sig);
        ::close(in[1]);
        EXPECT_EQ(entries(), std::vector<std::string>{"stderr"});
    }
}
