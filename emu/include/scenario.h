#pragma once
// A small text language that moves the emulated board's world: scenario files and the
// launcher's control FIFO both speak it, one command per line (see emu/README.md).
#include "board_emulator.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emu {

// One parsed line. kind "" is a blank or comment line.
struct scenario_command {
    std::string kind;
    std::vector<std::string> words;  // the line split at blanks, kind first
};

// Parses a line; on a syntax error returns false and sets error.
bool parse_scenario_line(const std::string& line, scenario_command& command, std::string& error);

// Checks every line of a script; returns "line N: what is wrong" texts, empty when sound.
std::vector<std::string> check_scenario(const std::vector<std::string>& lines);

// The built-in lively scenario (the same text as emu/scenarios/default.txt).
std::vector<std::string> default_scenario();

std::vector<std::string> split_lines(const std::string& text);

class scenario_player {
public:
    explicit scenario_player(board_emulator& board);
    ~scenario_player();
    scenario_player(const scenario_player&) = delete;
    scenario_player& operator=(const scenario_player&) = delete;

    // Runs one command now; "wait" blocks the caller. Returns an error text, empty on success.
    std::string execute(const std::string& line);
    // Runs a script on its own thread (replacing any script that runs).
    void start_script(std::vector<std::string> lines);
    // Stops the script and the movements.
    void stop();

private:
    struct world;
    void run_script(std::vector<std::string> lines);
    void animate();
    bool sleep_for_ms(long milliseconds);  // false when stopped

    board_emulator& board_;
    std::unique_ptr<world> world_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> script_stop_{false};
    std::thread script_;
    std::thread animator_;
};

}  // namespace emu
