#ifndef TESTS_CLI_SUPPORT_H
#define TESTS_CLI_SUPPORT_H

// skarvel-efis-cli run in-process, with its exit status and what it wrote,
// and the files it reads and writes.

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "link_support.h"

namespace clitest {

struct CliRun {
    int code;
    std::string out, err;
};

// Standard output is captured, or goes to `out_fd`; `in_fd` is standard input.
inline CliRun cli(std::vector<std::string> args, int out_fd = -1, int in_fd = -1)
{
    args.insert(args.begin(), "skarvel-efis-cli");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    CliRun r{-1, "", ""};
    const int saved_in = in_fd >= 0 ? dup(STDIN_FILENO) : -1;
    if (in_fd >= 0)
        dup2(in_fd, STDIN_FILENO);
    linktest::Output o = linktest::capture([&] {
        if (out_fd >= 0)
            dup2(out_fd, STDOUT_FILENO);  // the capture's end puts it back
        r.code = cli::cli_main(int(argv.size()), argv.data());
    });
    if (saved_in >= 0) {
        dup2(saved_in, STDIN_FILENO);
        close(saved_in);
    }
    r.out = o.out;
    r.err = o.err;
    return r;
}

// By the path's bytes, UTF-8 or not.
inline std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    return bool(f << text);
}

}  // namespace clitest

#endif
