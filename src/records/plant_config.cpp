#include "plant_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include <libpq-fe.h>
#include <unistd.h>

namespace plant {

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

}  // namespace

std::string config_path() {
    const char* given = std::getenv("VARNOLD_PLANT_CONF");
    return given != nullptr && given[0] != '\0' ? given : default_config_path;
}

std::string connection_problem(const std::string& connection) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(PQconninfoParse(connection.c_str(), &error),
                                                                         PQconninfoFree);
    if (!options) {
        std::string reason = error != nullptr ? trimmed(error) : "out of memory";
        PQfreemem(error);
        return reason;
    }
    for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option)
        if (std::strcmp(option->keyword, "password") == 0 && option->val != nullptr && option->val[0] != '\0')
            return "carries a password; put it in the password file (~/.pgpass or PGPASSFILE) instead";
    return "";
}

config_result read_config(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        if (errno == ENOENT) return {};
        return {std::nullopt, path + ": " + std::strerror(errno)};
    }
    config plant;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const std::size_t equals = line.find('=');
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : trimmed(line.substr(equals + 1));
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos || value.empty()) return {std::nullopt, where + "expected key = value"};
        if (key == "connection") plant.connection = value;
        else if (key == "station") plant.station = value;
        else return {std::nullopt, where + "unknown setting " + key + " (known: connection, station)"};
    }
    if (file.bad()) return {std::nullopt, path + ": " + std::strerror(errno)};
    if (plant.connection.empty()) return {std::nullopt, path + ": no connection setting"};
    const std::string problem = connection_problem(plant.connection);
    if (!problem.empty()) return {std::nullopt, path + ": connection: " + problem};
    if (plant.station.empty()) plant.station = host_name();
    if (plant.station.empty()) return {std::nullopt, path + ": no station setting and no host name to use instead"};
    return {plant, ""};
}

}  // namespace plant
