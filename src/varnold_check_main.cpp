// varnold-check: the commissioning check of a controller board (see board_check.h).
#include "board_check.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted = true; }

void usage(std::FILE* to) {
    std::fputs("usage: varnold-check [--outputs] [--record FILE]\n"
               "Checks the controller board (USB 04d8:0053): link, inputs, analog channels, outputs,\n"
               "both motion sensors, the encoder and the exchange time. Close the station first.\n"
               "  --outputs      switch each output on for half a second, then off again\n"
               "  --record FILE  write what the board answered as a scenario of the emulated board\n"
               "Exit status 0 when no check FAILed.\n",
               to);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    board_check::options chosen;
    std::string error;
    if (!board_check::parse_arguments(argc, argv, chosen, error)) {
        std::fprintf(stderr, "varnold-check: %s\n", error.c_str());
        usage(stderr);
        return 2;
    }
    chosen.interrupted = &interrupted;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    std::printf("varnold-check: controller board 04d8:0053\n");
    const auto lines = board_check::run(chosen, [](const board_check::check_line& line) {
        std::printf("%s\n", board_check::format_line(line).c_str());
        std::fflush(stdout);
    });
    std::printf("%s\n", board_check::summary(lines).c_str());
    return board_check::exit_status(lines);
}
