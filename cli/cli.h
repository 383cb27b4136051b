#ifndef CLI_CLI_H
#define CLI_CLI_H

// skarvel-efis-cli: the unit's settings, firmware and airport database from
// the command line, over the same link, protocol and flash code as the
// window.

namespace cli {

// The exit status says what happened; 0 only when everything asked for was
// done and confirmed by the unit.
enum ExitCode {
    EXIT_DONE = 0,
    EXIT_UNIT_FAILED = 1,   // the unit refused, did not confirm, or read back other values
    EXIT_USAGE = 2,         // unknown command, option or setting on the command line
    EXIT_BAD_FILE = 3,      // an input file is unreadable or invalid, or the results could not be written
    EXIT_NO_UNIT = 4,       // no unit answered on the link(s) asked for
    // Stopped by a signal after the exchange in flight (128 + the signal's
    // number, as a shell reports a process the signal ended); the message
    // says what the unit is left with.
    EXIT_HANGUP = 129,       // SIGHUP
    EXIT_INTERRUPTED = 130,  // SIGINT (Ctrl-C)
    EXIT_TERMINATED = 143    // SIGTERM
};

// Runs one command line. Results go to standard output, messages to
// standard error; the link's and the flash procedures' own diagnostic lines
// go to the log (--log FILE, or standard error with --verbose) and, after a
// failure, their last lines to standard error. SIGINT, SIGTERM and SIGHUP
// are handled while a command talks to the unit, and SIGPIPE and SIGXFSZ
// ignored while it runs (a write that fails is an error like any other);
// the handlers in place before are back when it returns.
int cli_main(int argc, char** argv);

}  // namespace cli

#endif
