#pragma once
// Production records: every positioning, catalogue change and link event, kept in
// "Records.db" (SQLite, WAL) beside the catalogue. Plain standard types only, so the
// export command links it without any window code.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace records {

// Layout version kept in the file's user_version; a file of a newer layout is left alone.
constexpr int schema_version = 2;
// Events of an outage kept in memory until the file takes them; the oldest go first beyond.
constexpr std::size_t pending_limit = 10000;
// How often a backlog is tried again when no new event comes to try it.
constexpr std::chrono::seconds retry_period{30};

enum class kind { positioned, left, catalogue, link };
const char* kind_name(kind what);

// The four rows in the order X, Y, alpha, beta.
using values = std::array<double, 4>;
// Measured values of the four rows; a row that had no reading has none (stored as NULL).
using readings = std::array<std::optional<double>, 4>;

// One row of the events table. Fields that do not apply to a kind stay empty and are
// stored as NULL, so one table serves every kind (and a plant-wide store can take it as is).
struct event {
    kind what = kind::link;
    std::string ts_utc;  // "2026-12-06T15:20:01.123Z", set when the event is added
    std::string host;    // set when the event is added
    std::optional<std::int32_t> type_id;
    std::optional<std::string> type_name;  // UTF-8
    std::optional<values> target;
    std::optional<readings> actual;
    std::string field, old_value, new_value, detail;
    std::optional<std::string> content;  // bytes of a saved catalogue file
};

// A shaft type as the records see it.
struct type_values {
    std::int32_t id = 0;
    std::string name;  // UTF-8
    std::array<float, 4> targets{};
};

event positioning(kind what, const type_values& type, const readings& actual);
event link_event(const std::string& detail);
// One catalogue row per field that differs (name, X, Y, alpha, beta), with old and new text.
std::vector<event> catalogue_changes(const type_values& before, const type_values& after,
                                     const std::string& detail);
// A row for a whole type or catalogue (a new type, a catalogue file created).
event catalogue_event(const std::optional<type_values>& type, const std::string& field,
                      const std::string& new_value, const std::string& detail);

// A saved catalogue file: its exact bytes, their SHA-256 (new_value) and where it went (detail).
event catalogue_file(const std::string& path, std::string bytes);
// Lower-case hex SHA-256 of the bytes.
std::string sha256_hex(const std::string& bytes);

// Millisecond UTC time in ISO-8601 form, as stored in ts_utc.
std::string utc_timestamp(std::chrono::system_clock::time_point when);
// The shortest text that reads back as the same float.
std::string float_text(float value);
// The shortest text that reads back as the same double.
std::string double_text(double value);

}  // namespace records

// The station's record file. Events are written when they happen, never per tick; a file
// that cannot be written holds nothing up: its events wait in memory and go in when it
// takes them again. GUI thread only.
class a_records {
public:
    // Nothing is opened yet: open() does that once log_line leads somewhere.
    explicit a_records(std::string path = "Records.db", std::function<void(const std::string&)> log = {});
    ~a_records();
    a_records(const a_records&) = delete;
    a_records& operator=(const a_records&) = delete;

    // Opens (or creates) the file, so a damaged or unwritable one is reported at start
    // rather than at the first event.
    void open();
    // Stamps the event with the time and host, queues it and writes the queue.
    void add(records::event event);
    void add(const std::vector<records::event>& events);
    // Called often (the read-out tick): writes a backlog once retry_period has passed.
    void retry_if_due();
    // Writes the queue now; true when nothing is left waiting.
    bool flush();

    std::size_t pending() const { return queue.size(); }
    std::size_t dropped() const { return dropped_events; }
    const std::string& path() const { return file_path; }

    // Where the outage and repair lines go; the frame puts them into the positioner's log.
    std::function<void(const std::string&)> log_line;
    // The clock of the timestamps; tests set a fixed one.
    // Called after events went into the file (the plant delivery takes them from there).
    std::function<void()> on_written;
    std::function<std::chrono::system_clock::time_point()> now = [] { return std::chrono::system_clock::now(); };
    std::string host;

private:
    enum class outcome { written, failed, damaged };

    outcome write_queue(std::string& reason);
    outcome open_file(std::string& reason);
    outcome create_schema(const char* sql, std::string& reason);
    outcome insert(const records::event& event, std::string& reason);
    outcome fail(int code, std::string& reason);
    void close_file();
    // Renames a damaged file out of the way (never deletes it); false, with the reason
    // extended, when it cannot.
    bool move_aside(std::string& reason);
    void log(const std::string& line) const;
    void log_outage(const std::string& reason) const;

    std::string file_path;
    sqlite3* db = nullptr;
    sqlite3_stmt* insert_statement = nullptr;
    std::deque<records::event> queue;
    std::size_t dropped_events = 0;
    bool in_outage = false;
    std::chrono::steady_clock::time_point last_attempt{};
};
