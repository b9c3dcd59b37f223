#pragma once
// The shaft-type catalogue and its JSON form, apart from any window.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <wx/string.h>

// One shaft type: its identifier, display name and target position.
struct Type {
    std::int32_t ID = 0;
    wxString name;
    float X = 0.0f;
    float Y = 0.0f;
    float alpha = 0.0f;
    float beta = 0.0f;

    Type() = default;
    // Expects an element that catalogue_shape_error() accepted.
    explicit Type(const rapidjson::Value& value);
};

namespace catalogue {

// The catalogue as the pretty writer prints it: UTF-8 bytes, 4-space indent, no final newline.
std::string to_json(const std::vector<Type>& types);

enum class parse_status { ok, parse_error, wrong_shape };
struct parse_result {
    parse_status status = parse_status::parse_error;
    std::vector<Type> types;  // empty unless status is ok: a bad document gives no records
    std::string detail;       // what was wrong, for the log line
};
// Parses and checks the whole document before any record is taken from it.
parse_result from_json(std::string_view utf8);

// Writes bytes to path through a temporary file in the same folder, flushed to disk
// and renamed over the old file, so the old file survives any failure. False on failure.
bool write_file_atomically(const std::string& path, const std::string& bytes);

enum class read_status { ok, missing, unreadable };
// Reads a whole file; unreadable covers a file that exists but cannot be opened or read.
read_status read_file(const std::string& path, std::string& bytes);

}  // namespace catalogue
