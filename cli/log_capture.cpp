#include "log_capture.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text.h"

namespace cli {

LogCapture::LogCapture(FILE* log, bool verbose)
    : verbose(verbose),
      log(log),
      capture(
          [this](const char* data, size_t size) {
              std::lock_guard<std::mutex> lk(mu);
              take_locked(data, size, &line, true);
          },
          false)
{
    std::fflush(stdout);
    const int results_fd = dup(STDOUT_FILENO);
    results = results_fd >= 0 ? fdopen(results_fd, "w") : nullptr;
    if (results && !capture.start()) {
        const int error = errno;
        std::fclose(results);
        results = nullptr;
        errno = error;
    }
}

LogCapture::~LogCapture()
{
    capture_stderr(false);
    capture.give_back();
    if (log)
        std::fclose(log);
    if (results)
        std::fclose(results);
}

bool LogCapture::finish_results(QString* error)
{
    if (!results)
        return true;
    const bool flushed = std::fflush(results) == 0;
    const int flush_errno = errno;
    const bool clean = !std::ferror(results);
    const bool closed = std::fclose(results) == 0;
    const int close_errno = errno;
    results = nullptr;
    if ((flushed && clean && closed) || told)
        return true;
    *error = !flushed ? std::strerror(flush_errno) : !closed ? std::strerror(close_errno) : "a write failed";
    return false;
}

void LogCapture::capture_stderr(bool on)
{
    std::fflush(stdout);
    std::fflush(stderr);
    if (on && !captured_err) {
        cookie_io_functions_t io = {nullptr, &LogCapture::write_stderr, nullptr, nullptr};
        FILE* f = fopencookie(this, "w", io);
        if (!f)
            return;
        setvbuf(f, nullptr, _IOLBF, 0);
        captured_err = f;
        original_err = stderr;
        stderr = f;
    } else if (!on && captured_err) {
        stderr = original_err;
        std::fclose(captured_err);
        captured_err = nullptr;
        capture.take();
    }
}

void LogCapture::explain_failure()
{
    capture.take();
    std::lock_guard<std::mutex> lk(mu);
    if (last.empty() || verbose)
        return;
    std::fprintf(stderr, "Last lines of the log:\n");
    for (const std::string& l : last)
        say(stderr, "  " + arg_text(QByteArray::fromStdString(l)));
}

ssize_t LogCapture::write_stderr(void* cookie, const char* buf, size_t size)
{
    LogCapture* self = static_cast<LogCapture*>(cookie);
    self->capture.take();
    std::lock_guard<std::mutex> lk(self->mu);
    self->take_locked(buf, size, &self->err_line, false);
    return ssize_t(size);
}

void LogCapture::take_locked(const char* buf, size_t n, std::string* partial, bool remember)
{
    for (size_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
            *partial += buf[i];
            continue;
        }
        if (log)
            std::fprintf(log, "%s\n", partial->c_str());
        if (verbose)  // the lines name interfaces and paths as given
            say(original_err, arg_text(QByteArray::fromStdString(*partial)));
        if (remember)
            last.push_back(*partial);
        if (last.size() > 12)
            last.pop_front();
        partial->clear();
    }
}

}  // namespace cli
