#include "Kelpon_v6App.h"
#include "command_line.h"

wxIMPLEMENT_APP_NO_MAIN(Kelpon_v6App);

namespace {
const char* const usage =
    "usage: Varnold [--help | --version]\n"
    "The positioning station, full screen. It reads Settings.dat and its images from the\n"
    "folder it is started in; varnold-station starts it from ~/Documents.\n";
}  // namespace

// The options are answered before the toolkit starts, so neither opens the window.
int main(int argc, char** argv) {
    if (const int status = command_line::answer_standard(argc, argv, "Varnold", usage); status >= 0) return status;
    if (argc > 1) return command_line::refuse("Varnold", std::string("unknown option ") + argv[1], usage);
    return wxEntry(argc, argv);
}
