#include "stops.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "cli.h"

namespace cli {

std::atomic<int> g_stop(0);
std::atomic<bool> g_cancel(false);
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler sets these");

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
const int WRITE_SIGNALS[] = {SIGPIPE, SIGXFSZ};

void on_stop_signal(int signo)
{
    int none = 0;
    g_stop.compare_exchange_strong(none, signo);
    g_cancel.store(true);
    static const char ctrl_c[] = "\nstopping after the exchange in flight (Ctrl-C again quits at once)...\n";
    static const char other[] = "\nstopping after the exchange in flight...\n";
    if (signo == SIGINT)
        (void)!write(STDERR_FILENO, ctrl_c, sizeof ctrl_c - 1);
    else
        (void)!write(STDERR_FILENO, other, sizeof other - 1);
}

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : STOP_SIGNALS)
        sigaddset(&set, s);
    return set;
}

}  // namespace

int exit_for_stop(int signo)
{
    return signo == SIGPIPE   ? EXIT_BAD_FILE
           : signo == SIGHUP  ? EXIT_HANGUP
           : signo == SIGTERM ? EXIT_TERMINATED
                              : EXIT_INTERRUPTED;
}

void stop_for_closed_output()
{
    int none = 0;
    g_stop.compare_exchange_strong(none, SIGPIPE);
    g_cancel.store(true);
}

bool reader_gone(int fd)
{
    // The writing end of a pipe whose reader closed it polls as an error.
    struct pollfd p = {fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

SignalGuard::SignalGuard()
{
    g_stop = 0;
    g_cancel = false;
    sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, &saved_mask);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < 3; ++i) {
        // A signal ignored by whoever started the tool (nohup) stays ignored.
        sigaction(STOP_SIGNALS[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            sigaction(STOP_SIGNALS[i], &action, nullptr);
    }
    taker = std::thread([this] {
        sigset_t mine = stop_set();
        pthread_sigmask(SIG_UNBLOCK, &mine, nullptr);
        std::unique_lock<std::mutex> lk(mu);
        wake.wait(lk, [this] { return done; });
    });
}

SignalGuard::~SignalGuard()
{
    // A signal still pending is taken by this thread's handler now.
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    {
        std::lock_guard<std::mutex> lk(mu);
        done = true;
    }
    wake.notify_all();
    taker.join();
    for (size_t i = 0; i < 3; ++i)
        sigaction(STOP_SIGNALS[i], &previous[i], nullptr);
}

WriteSignalsIgnored::WriteSignalsIgnored()
{
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (size_t i = 0; i < 2; ++i)
        sigaction(WRITE_SIGNALS[i], &ignore, &previous[i]);
}

WriteSignalsIgnored::~WriteSignalsIgnored()
{
    for (size_t i = 0; i < 2; ++i)
        sigaction(WRITE_SIGNALS[i], &previous[i], nullptr);
}

}  // namespace cli
