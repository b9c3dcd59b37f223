#pragma once
// The words of the emulated board's command language that name what the board measures,
// and how a command line is put together. The parser and every program that writes
// scenario lines (varnold-check --record) take them from here. Header only: a writer
// needs no part of the emulator.
#include <initializer_list>
#include <string>

namespace emu::scenario_words {

constexpr const char* input = "input";
constexpr const char* analog = "analog";
constexpr const char* encoder = "encoder";
constexpr const char* sensor = "sensor";
constexpr const char* identity = "identity";
constexpr const char* present = "present";
constexpr const char* loose = "loose";
constexpr const char* noise = "noise";
constexpr const char* drift = "drift";
constexpr const char* toggle = "toggle";
constexpr char comment = '#';

// The command's words (with its subject, e.g. noise sensor), then its numbers, one blank apart.
inline std::string command_line(std::initializer_list<const char*> words, std::initializer_list<long> numbers) {
    std::string line;
    for (const char* word : words) line += (line.empty() ? "" : " ") + std::string(word);
    for (const long number : numbers) line += " " + std::to_string(number);
    return line;
}

}  // namespace emu::scenario_words
