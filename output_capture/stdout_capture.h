#ifndef OUTPUT_CAPTURE_STDOUT_CAPTURE_H
#define OUTPUT_CAPTURE_STDOUT_CAPTURE_H

// The link and flash code print their diagnostic lines on standard output.
// The window keeps them in its log file as well; the command-line tool keeps
// them off standard output, which carries its results. Both take them the
// same way: a pipe takes the place of descriptor 1, and what arrives in it
// is handed to a sink, by a reader thread of the capture's own as it comes
// (a chatty upload never fills the pipe and stalls) and by whoever needs it
// in order now (take: what was printed before a line of one's own comes
// before it). No Qt.

#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>

namespace output_capture {

// Writes all of `size` bytes to `fd`, across short writes and signals;
// false, with errno set, when a write failed.
bool write_all(int fd, const char* data, size_t size);

class StdoutCapture {
public:
    // Gets the bytes as they were printed, in order, one call at a time.
    using Sink = std::function<void(const char* data, size_t size)>;

    // `copy_on`: what arrives also goes on to standard output as it was
    // (the window started from a terminal still prints there). `after_read`,
    // when given, is called by the reader thread, outside the capture's
    // lock, after it handed bytes to the sink.
    StdoutCapture(Sink sink, bool copy_on, std::function<void()> after_read = {});
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Puts the pipe in place of standard output and starts the reader;
    // false, with errno set, when it could not.
    bool start();
    // Hands what was printed so far to the sink now.
    void take();
    // Gives standard output back (or /dev/null, should the copy have lost
    // its reader) after handing the last bytes to the sink; the reader ends.
    void give_back();

private:
    void read_loop();
    // Reads what waits in the pipe and hands it on; with `mu` held.
    void drain_locked();
    void copy_out(const char* data, size_t size);

    Sink sink;
    bool copy_on;
    std::function<void()> after_read;
    std::mutex mu;
    bool capturing = false;
    bool writers_left = false;  // false once descriptor 1 no longer leads to the pipe
    int saved_fd = -1;          // standard output as it was
    int pipe_fd = -1;           // the pipe's reading end
    int stop_fd = -1;           // wakes the reader to end it
    std::thread reader;
};

}  // namespace output_capture

#endif
