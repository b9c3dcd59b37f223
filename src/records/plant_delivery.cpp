#include "plant_delivery.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include <sqlite3.h>

#include "a_records.h"

namespace plant {

namespace {

constexpr std::size_t row_width = 1 + event_column_count;  // row id, then the event columns
constexpr std::size_t content_column = event_column_count - 1;

using sqlite_ptr = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using statement_ptr = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

std::optional<std::string> cell(sqlite3_stmt* s, int column) {
    switch (sqlite3_column_type(s, column)) {
        case SQLITE_NULL: return std::nullopt;
        case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(s, column));
        case SQLITE_FLOAT: return records::double_text(sqlite3_column_double(s, column));
        default: {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, column));
            return std::string(bytes != nullptr ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
        }
    }
}

std::string select_sql() {
    std::string sql = "SELECT id";
    for (int column = 0; column < event_column_count; ++column) sql += std::string(", ") + event_columns[column];
    return sql + " FROM events WHERE id > ?1 ORDER BY id LIMIT ?2";
}

bool sqlite_failed(sqlite3* db, const std::string& path, std::string& error) {
    error = path + ": " + sqlite3_errmsg(db);
    return false;
}

}  // namespace

std::size_t journal_batch::rows() const { return cells.size() / row_width; }

std::int64_t journal_batch::last_id() const { return cells.empty() ? 0 : std::stoll(*cells[cells.size() - row_width]); }

bool read_journal(const std::string& path, std::int64_t after, std::size_t limit, journal_batch& batch,
                  std::string& error) {
    batch = {};
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) return true;
    sqlite3* opened = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    sqlite_ptr db(opened, sqlite3_close);
    if (code != SQLITE_OK) return sqlite_failed(db.get(), path, error);
    // The station writes briefly; a reader of a WAL file waits only for a checkpoint.
    sqlite3_busy_timeout(db.get(), 1000);
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v2(db.get(), "SELECT journal_id FROM journal", -1, &prepared, nullptr) != SQLITE_OK)
        return sqlite_failed(db.get(), path, error);
    statement_ptr identity(prepared, sqlite3_finalize);
    if (sqlite3_step(identity.get()) != SQLITE_ROW) return sqlite_failed(db.get(), path, error);
    batch.journal_id = reinterpret_cast<const char*>(sqlite3_column_text(identity.get(), 0));
    if (sqlite3_prepare_v2(db.get(), select_sql().c_str(), -1, &prepared, nullptr) != SQLITE_OK)
        return sqlite_failed(db.get(), path, error);
    statement_ptr rows(prepared, sqlite3_finalize);
    sqlite3_bind_int64(rows.get(), 1, after);
    sqlite3_bind_int64(rows.get(), 2, static_cast<sqlite3_int64>(limit));
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows.get())) == SQLITE_ROW)
        for (int column = 0; column < static_cast<int>(row_width); ++column)
            batch.cells.push_back(cell(rows.get(), column));
    if (step != SQLITE_DONE) return sqlite_failed(db.get(), path, error);
    return true;
}

query insert_query(const std::string& station, const journal_batch& batch) {
    query q;
    q.sql = "INSERT INTO varnold.events (station, journal_id, row_id";
    for (const char* column : event_columns) q.sql += std::string(", ") + column;
    q.sql += ") VALUES ";
    q.values = {station.c_str(), batch.journal_id.c_str()};
    q.lengths = {0, 0};
    q.formats = {0, 0};
    for (std::size_t row = 0; row < batch.rows(); ++row) {
        q.sql += row == 0 ? "($1, $2" : ", ($1, $2";
        for (std::size_t column = 0; column < row_width; ++column) {
            const std::optional<std::string>& value = batch.cells[row * row_width + column];
            q.values.push_back(value ? value->c_str() : nullptr);
            q.lengths.push_back(value ? static_cast<int>(value->size()) : 0);
            // The catalogue's bytes go as they are; everything else as text.
            q.formats.push_back(column == 1 + content_column ? 1 : 0);
            q.sql += ", $" + std::to_string(q.values.size());
        }
        q.sql += ")";
    }
    // A row the server already holds (a batch sent again after a cut) is left as it is.
    q.sql += " ON CONFLICT DO NOTHING";
    return q;
}

std::int64_t delivered_up_to(PGconn* db, const std::string& station, const std::string& journal_id,
                             std::string& error, const std::atomic<bool>* stop) {
    const query q{"SELECT coalesce(max(row_id), 0) FROM varnold.events WHERE station = $1 AND journal_id = $2",
                  {station.c_str(), journal_id.c_str()}, {}, {}};
    result_ptr result = run(db, q, error, stop);
    return result ? std::stoll(PQgetvalue(result.get(), 0, 0)) : -1;
}

delivery::delivery(config settings, std::string path, std::function<void(const std::string&)> log_to)
    : plant(std::move(settings)), journal_path(std::move(path)), log(std::move(log_to)) {}

delivery::~delivery() { stop(); }

void delivery::start() {
    if (worker.joinable()) return;
    stopping = false;
    worker = std::thread([this] { loop(); });
}

void delivery::stop() {
    stopping = true;
    wake_signal.notify_all();
    if (worker.joinable()) worker.join();
    db.reset();
}

void delivery::wake() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex);
        woken = true;
    }
    wake_signal.notify_one();
}

void delivery::pause(std::chrono::milliseconds how_long, bool wakeable) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    wake_signal.wait_for(lock, how_long, [&] { return stopping || (wakeable && woken); });
    woken = false;
}

void delivery::loop() {
    bool in_outage = false;
    std::chrono::milliseconds backoff = plant.retry_first;
    while (!stopping) {
        std::string error;
        const step result = deliver_once(error);
        if (result == step::failed) {
            db.reset();
            ++failed_attempts;
            if (stopping) break;
            if (!in_outage && log) log("Plant delivery stopped, the journal keeps the rows: " + error);
            in_outage = true;
            pause(backoff, false);
            backoff = std::min(backoff * 2, plant.retry_longest);
            continue;
        }
        if (result == step::marked) continue;
        // Resumed once rows go in again, or there is nothing left to send.
        if (in_outage && log) log("Plant delivery resumed");
        in_outage = false;
        backoff = plant.retry_first;
        if (result == step::idle) pause(plant.poll, true);
    }
}

delivery::step delivery::deliver_once(std::string& error) {
    if (!db) {
        db = connect(plant.connection, error, &stopping);
        if (!db) return step::failed;
        const int version = schema_version(db.get(), error);
        if (version < 0) return step::failed;
        error = version_problem(version);
        if (!error.empty()) return step::failed;
        // How far each journal got is the server's to say, asked again on every connection.
        marked_journal.clear();
    }
    journal_batch batch;
    if (!read_journal(journal_path, mark, plant.batch_rows, batch, error)) return step::failed;
    if (batch.journal_id.empty()) return step::idle;
    if (batch.journal_id != marked_journal) {
        mark = delivered_up_to(db.get(), plant.station, batch.journal_id, error, &stopping);
        if (mark < 0) return step::failed;
        marked_journal = batch.journal_id;
        return step::marked;
    }
    if (batch.rows() == 0) return step::idle;
    if (!run(db.get(), insert_query(plant.station, batch), error, &stopping)) return step::failed;
    mark = batch.last_id();
    delivered_rows += static_cast<std::int64_t>(batch.rows());
    return step::more;
}

}  // namespace plant
