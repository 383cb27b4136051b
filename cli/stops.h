#ifndef CLI_STOPS_H
#define CLI_STOPS_H

// What stops a command that talks to the unit, always between two
// exchanges: SIGINT, SIGTERM and SIGHUP, and standard output losing its
// reader (a pipe into `head`). A write that fails must never end the
// process half way through an exchange either.

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cli {

// What asked the command to stop, 0 until something did: the signal's
// number, or SIGPIPE when standard output lost its reader. The commands
// look at it between exchanges.
extern std::atomic<int> g_stop;
// The uploads' own flag: they stop at their next block or packet boundary.
extern std::atomic<bool> g_cancel;

// The exit status of a stop: 128 + the signal's number as a shell reports
// a process the signal ended, and a closed output as one that could not be
// written.
int exit_for_stop(int signo);

// Standard output lost its reader: the command stops as for a signal.
void stop_for_closed_output();

// Whether nobody reads `fd` any more (a pipe whose reading end was closed),
// found without writing: an upload whose progress lines are minutes apart
// stops after the packet in flight, not at its next line.
bool reader_gone(int fd);

// While a command talks to the unit, SIGINT, SIGTERM and SIGHUP only set
// the stop flag (a second one of a kind ends the process at once). The
// thread that runs the exchanges blocks them: a read of the link that a
// handler interrupted would end early with EINTR (poll and reads with a
// time-out are never restarted) and the exchange in flight would be lost.
// A thread of the guard's own takes them instead. The previous handlers and
// mask are back when the guard goes.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

private:
    sigset_t saved_mask;
    struct sigaction previous[3];
    std::thread taker;
    std::mutex mu;
    std::condition_variable wake;
    bool done = false;
};

// SIGPIPE and SIGXFSZ ignored while the tool runs: a write to a pipe nobody
// reads or past the file size limit (ulimit -f) then fails with EPIPE or
// EFBIG and takes the error path, where the signal would end the process
// with the unit's airport database closed or a temporary file left. The
// dispositions before are back when it goes.
class WriteSignalsIgnored {
public:
    WriteSignalsIgnored();
    ~WriteSignalsIgnored();
    WriteSignalsIgnored(const WriteSignalsIgnored&) = delete;
    WriteSignalsIgnored& operator=(const WriteSignalsIgnored&) = delete;

private:
    struct sigaction previous[2];
};

}  // namespace cli

#endif
