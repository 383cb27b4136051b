#include <QCoreApplication>
#include <cstdio>

#include "cli.h"

int main(int argc, char** argv)
{
    // Diagnostic lines reach the log as they happen, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("skarvel-efis-cli");
    return cli::cli_main(argc, argv);
}
