// varnold-check: the commissioning check of a controller board (see board_check.h).
#include "board_check.h"
#include "command_line.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted = true; }

const char* const usage =
    "usage: varnold-check [--outputs] [--record FILE]\n"
    "Checks the controller board (USB 04d8:0053): link, inputs, analog channels, outputs,\n"
    "both motion sensors, the encoder and the exchange time. Close the station first.\n"
    "  --outputs      switch each output on for half a second, then off again\n"
    "  --record FILE  write what the board answered as a scenario of the emulated board\n"
    "Exit status 0 when no check FAILed.\n";

}  // namespace

int main(int argc, char** argv) {
    if (const int status = command_line::answer_standard(argc, argv, "varnold-check", usage); status >= 0)
        return status;
    board_check::options chosen;
    std::string error;
    if (!board_check::parse_arguments(argc, argv, chosen, error))
        return command_line::refuse("varnold-check", error, usage);
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
