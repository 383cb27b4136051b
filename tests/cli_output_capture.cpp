// The capture of standard output that the window's log and the tool's log
// share: what is printed reaches the sink in order, more than a pipe holds
// too while nobody takes it; with the copy on, it goes on to standard
// output as it was, and a copy whose reader left ends without ending the
// program. Standard output is given back afterwards.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/run_log.h"
#include "app_util.h"
#include "cli_support.h"
#include "output_capture/stdout_capture.h"

namespace {

std::string fd_target(int fd)
{
    char target[PATH_MAX] = {};
    return ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) > 0 ? target : "";
}

TEST(OutputCapture, TakesWhatIsPrintedAndGivesStandardOutputBack)
{
    std::string text;
    for (int i = 0; text.size() < 300 * 1024; ++i)
        text += "diagnostic line " + std::to_string(i) + "\n";
    const struct {
        const char* name;
        bool copy_on;
        bool reader_gone;  // standard output a pipe whose reader closed it
        std::string after;  // what standard output as it was holds at the end
    } cases[] = {
        {"taken only", false, false, "after\n"},
        {"copied on", true, false, text + "partial" + "after\n"},
        {"copy whose reader left", true, true, ""},
    };
    for (const auto& c : cases) {
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        char path[] = "/tmp/efis-capture-XXXXXX";
        const int file = ::mkstemp(path);
        ::unlink(path);
        int p[2];
        if (c.reader_gone && ::pipe(p) == 0) {
            ::close(p[0]);
            ::dup2(p[1], STDOUT_FILENO);
            ::close(p[1]);
        } else {
            ::dup2(file, STDOUT_FILENO);
        }
        std::mutex mu;
        std::string taken;
        bool started;
        std::string back;
        {
            output_capture::StdoutCapture capture(
                [&](const char* data, size_t size) {
                    std::lock_guard<std::mutex> hold(mu);
                    taken.append(data, size);
                },
                c.copy_on);
            started = capture.start();
            std::fputs(text.c_str(), stdout);  // waits for the reader when the pipe is full
            std::fputs("partial", stdout);
            capture.take();
            std::lock_guard<std::mutex> hold(mu);
            back = taken;
        }
        const std::string now_at = fd_target(STDOUT_FILENO);
        std::fputs("after\n", stdout);
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        EXPECT_TRUE(started) << c.name;
        EXPECT_TRUE(back == text + "partial") << c.name << ": " << back.size() << " bytes taken";
        EXPECT_EQ(taken, back) << c.name << ": nothing more after the take";
        EXPECT_TRUE(!c.reader_gone || now_at == "/dev/null") << c.name << ": " << now_at;
        EXPECT_TRUE(clitest::read_file("/proc/self/fd/" + std::to_string(file)) == c.after) << c.name;
        ::close(file);
    }
}

// The link's lines reach the window's log file and the tool's --log alike,
// and not the tool's results.
TEST(OutputCapture, TheWindowAndTheToolLogTheLinksLines)
{
    const char* const line = "Attempting to connect to USB HID device 0x1209:0x0001\n";
    QTemporaryDir state;
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    apptest::world_without_unit();
    { MainWindow w; }
    qputenv("XDG_STATE_HOME", before);
    const std::string log = state.path().toStdString() + "/cli.log";
    const clitest::CliRun r = clitest::cli({"--log", log, "--link", "usb", "info"});
    EXPECT_EQ(r.code, cli::EXIT_NO_UNIT);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(clitest::read_file(log).find(line), std::string::npos);
    EXPECT_NE(clitest::read_file(RunLog::instance().filePath().toStdString()).find(line), std::string::npos);
}

}  // namespace
