#pragma once
// The plant configuration: one small file naming the plant database and this station. With no
// file the station keeps its records only in Records.db, as always.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace plant {

constexpr const char* default_config_path = "/etc/varnold/plant.conf";

struct config {
    std::string connection;  // a libpq connection string or postgresql:// URL, without a password
    std::string station;     // the name rows are delivered under; the host name by default
    // Retries after a failure wait the first delay, doubling up to the longest.
    std::chrono::milliseconds retry_first{1000};
    std::chrono::milliseconds retry_longest{60000};
    // Without a nudge from the record file, the journal is looked at this often.
    std::chrono::milliseconds poll{1000};
    std::size_t batch_rows = 1000;
};

struct config_result {
    std::optional<config> plant;  // set when the file is there and good
    std::string error;            // one line with the reason when it is there but bad
};

// VARNOLD_PLANT_CONF when set, otherwise default_config_path.
std::string config_path();
// No file: neither plant nor error. Lines are "key = value"; '#' starts a comment.
config_result read_config(const std::string& path);
// Why a connection string cannot be used ("" when it can): unparsable, or carrying a password,
// which belongs in the password file where no one else can read it.
std::string connection_problem(const std::string& connection);

}  // namespace plant
