#ifndef CLI_LOG_CAPTURE_H
#define CLI_LOG_CAPTURE_H

#include <QString>

#include <sys/types.h>

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "output_capture/stdout_capture.h"

namespace cli {

// The link's and the procedures' diagnostic lines (written to standard
// output by the library) are taken off standard output, which carries the
// tool's results: into the log file, onto standard error with --verbose,
// and the last of them kept to explain a failure.
class LogCapture {
public:
    // Takes `log` (may be null) over.
    LogCapture(FILE* log, bool verbose);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Where the results go: standard output as it was.
    FILE* out() { return results ? results : stdout; }
    // False when standard output could not be taken over.
    bool ok() const { return results != nullptr; }
    // A write error on the results was reported already: not again at the end.
    void results_error_told() { told = true; }

    // Flushes and closes the results: false with *error when any of them
    // could not be written (a full disk, /dev/full).
    bool finish_results(QString* error);

    // The transports write their set-up failures ("Failed to create
    // temporary CAN socket: ...") to standard error. While connecting they
    // go to the log instead, in the order written, and not among the lines
    // shown after a failure: the error and the hints that follow say it for
    // the user.
    void capture_stderr(bool on);

    // The last lines the library wrote, for a failure's explanation.
    void explain_failure();

private:
    // A line on the captured standard error comes after everything the
    // library wrote to standard output before it.
    static ssize_t write_stderr(void* cookie, const char* buf, size_t size);
    // `remember`: the lines may be shown after a failure.
    void take_locked(const char* buf, size_t n, std::string* partial, bool remember);

    bool verbose;
    FILE* results = nullptr;
    FILE* log = nullptr;
    bool told = false;
    FILE* captured_err = nullptr;
    FILE* original_err = stderr;
    std::mutex mu;  // the lines, from the capture's reader and from standard error
    std::string line;
    std::string err_line;
    std::deque<std::string> last;
    // Takes in the lines as they come, so that a chatty upload never fills
    // the pipe; the others take in what is waiting before they act.
    output_capture::StdoutCapture capture;
};

}  // namespace cli

#endif
