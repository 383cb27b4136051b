#include "stdout_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace output_capture {

bool write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

StdoutCapture::StdoutCapture(Sink sink, bool copy_on, std::function<void()> after_read)
    : sink(std::move(sink)), copy_on(copy_on), after_read(std::move(after_read))
{
}

StdoutCapture::~StdoutCapture() { give_back(); }

bool StdoutCapture::start()
{
    std::fflush(stdout);
    std::lock_guard<std::mutex> hold(mu);
    if (capturing)
        return true;
    // A program started without standard output still takes what it prints.
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0 && null != STDOUT_FILENO) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return false;
    stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    saved_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (stop_fd < 0 || saved_fd < 0 || ::dup2(p[1], STDOUT_FILENO) < 0) {
        const int error = errno;
        for (int* fd : {&p[0], &p[1], &stop_fd, &saved_fd}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        errno = error;
        return false;
    }
    ::close(p[1]);
    ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
    pipe_fd = p[0];
    capturing = writers_left = true;

    // The reader takes no signals: they belong to the threads that wait
    // for them (Ctrl-C, for one).
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    reader = std::thread(&StdoutCapture::read_loop, this);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return true;
}

void StdoutCapture::take()
{
    // Outside the lock: a flush into a full pipe waits for the reader.
    std::fflush(stdout);
    std::lock_guard<std::mutex> hold(mu);
    drain_locked();
}

void StdoutCapture::give_back()
{
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> hold(mu);
        if (!capturing)
            return;
        capturing = false;
        // Where standard output went before; nowhere once its reader left,
        // so that what is printed later neither waits nor raises SIGPIPE.
        const int back = saved_fd >= 0 ? saved_fd : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(back, STDOUT_FILENO);
        if (back != saved_fd && back >= 0)
            ::close(back);
        drain_locked();
        const uint64_t one = 1;
        (void)!::write(stop_fd, &one, sizeof one);
    }
    reader.join();
    for (int* fd : {&pipe_fd, &stop_fd, &saved_fd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void StdoutCapture::read_loop()
{
    for (;;) {
        pollfd waiting[2] = {{pipe_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waiting[1].revents != 0)
            return;
        bool open;
        {
            std::lock_guard<std::mutex> hold(mu);
            drain_locked();
            open = writers_left;
        }
        if (after_read)
            after_read();
        // Descriptor 1 leads elsewhere now: nothing more can come, and the
        // pipe would poll ready for ever.
        if (!open)
            return;
    }
}

void StdoutCapture::drain_locked()
{
    if (pipe_fd < 0)
        return;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(pipe_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            writers_left = false;
        if (n <= 0)
            return;
        if (copy_on)
            copy_out(buffer, size_t(n));
        sink(buffer, size_t(n));
    }
}

void StdoutCapture::copy_out(const char* data, size_t size)
{
    if (saved_fd < 0)
        return;
    // A reader that went away (a closed pipe) ends the copy, not the
    // program: SIGPIPE is held back meanwhile and taken if the write
    // raised it.
    sigset_t pipe_signal, before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    const bool written = write_all(saved_fd, data, size);
    if (!written && errno == EPIPE) {
        const timespec none = {0, 0};
        sigtimedwait(&pipe_signal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!written) {
        ::close(saved_fd);
        saved_fd = -1;
    }
}

}  // namespace output_capture
