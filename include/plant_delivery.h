#pragma once
// Store and forward: the rows of the station's journal (Records.db) delivered, in order and in
// batches, to the plant's central database, on a thread of its own. A row is identified there by
// station, journal id and row id and inserted with ON CONFLICT DO NOTHING; how far a journal got
// is asked from the server at each connection, so no local state can disagree with it and a
// batch cut off anywhere (server down, station killed, network gone) is simply sent again.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plant_central.h"
#include "plant_config.h"

namespace plant {

// Rows of one journal, each as row id then the event columns (NULL as nothing).
struct journal_batch {
    std::string journal_id;  // empty when there is no journal yet
    std::vector<std::optional<std::string>> cells;
    std::size_t rows() const;
    std::int64_t last_id() const;
};

// Up to limit rows after row id `after`; false with the reason when the journal cannot be read.
bool read_journal(const std::string& path, std::int64_t after, std::size_t limit, journal_batch& batch,
                  std::string& error);
// The statement delivering a batch; the batch must outlive it.
query insert_query(const std::string& station, const journal_batch& batch);
// The last row id of this journal the server holds (0 for none), -1 with the reason on failure.
std::int64_t delivered_up_to(PGconn* db, const std::string& station, const std::string& journal_id,
                             std::string& error, const std::atomic<bool>* stop = nullptr);

class delivery {
public:
    // log gets one line when delivery stops and one when it resumes, from the delivery thread.
    delivery(config plant, std::string journal_path, std::function<void(const std::string&)> log);
    ~delivery();
    delivery(const delivery&) = delete;
    delivery& operator=(const delivery&) = delete;

    void start();
    // Returns promptly even while connecting or sending: an unfinished batch is sent again later.
    void stop();
    // The journal has new rows: deliver them now rather than at the next poll. Never blocks.
    void wake();
    // Rows this delivery has had accepted by the server (tests and benchmarks watch it).
    std::int64_t delivered() const { return delivered_rows; }
    // Attempts that failed (connecting, reading the journal or sending), logged or not.
    std::int64_t failures() const { return failed_attempts; }

private:
    enum class step { more, marked, idle, failed };
    void loop();
    step deliver_once(std::string& error);
    void pause(std::chrono::milliseconds how_long, bool wakeable);

    config plant;
    std::string journal_path;
    std::function<void(const std::string&)> log;
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<std::int64_t> delivered_rows{0};
    std::atomic<std::int64_t> failed_attempts{0};
    std::mutex wake_mutex;
    std::condition_variable wake_signal;
    bool woken = false;
    // The delivery thread's own.
    connection_ptr db{nullptr, PQfinish};
    std::string marked_journal;
    std::int64_t mark = 0;
};

}  // namespace plant
