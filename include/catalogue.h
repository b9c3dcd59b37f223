#pragma once
// The shaft-type catalogue and its JSON form, apart from any window.
#include <array>
#include <cstddef>
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
    // Expects an element that catalogue::element_shape_error() accepted.
    explicit Type(const rapidjson::Value& value);
};

namespace catalogue {

// The catalogue as the pretty writer prints it: UTF-8 bytes, 4-space indent, no final newline.
// Empty when a target is not a finite number: JSON has no form for it, and an empty text is
// never saved.
std::string to_json(const std::vector<Type>& types);

// True when all four targets are finite, so the record has a JSON form.
bool is_storable(const Type& type);

enum class parse_status { ok, parse_error, wrong_shape };
struct parse_result {
    parse_status status = parse_status::parse_error;
    std::vector<Type> types;  // empty unless status is ok: a bad document gives no records
    std::string detail;       // what was wrong, for diagnostics
};
// Parses and checks the whole document before any record is taken from it.
// Text that is not valid UTF-8 counts as a parse error.
parse_result from_json(std::string_view utf8);

// Empty when the element can be turned into a Type; otherwise what is wrong with it.
std::string element_shape_error(const rapidjson::Value& element);

// Writes bytes to path through a temporary file in the same folder, flushed to disk
// and renamed over the old file, so the old file survives any failure. False on failure.
bool write_file_atomically(const std::string& path, const std::string& bytes);

enum class read_status { ok, missing, unreadable };
// Reads a whole file; unreadable covers a file that exists but cannot be opened or read.
read_status read_file(const std::string& path, std::string& bytes);

// ---- Loading and saving as the positioner does it ----

enum class load_status { loaded, missing, unreadable, parse_error, wrong_shape };
struct load_result {
    load_status status = load_status::missing;
    std::vector<Type> types;  // empty unless loaded
    std::string detail;
};
load_result load(const std::string& path);

// The log line for a load ("Settings file not exist: Settings.dat", "Json Pharse error", ...);
// empty after a successful load.
wxString load_message(const load_result& result, const std::string& path);

// A file that exists but could not be taken in must not be replaced by the (empty) catalogue
// of the failed load; a missing file may be created.
bool may_save_after(load_status status);

// A text this short is never written: a real catalogue is at least 24 characters, so a shorter
// one means serialisation failed.
constexpr std::size_t longest_unsaved_text = 9;
bool long_enough_to_save(std::size_t characters);

enum class save_status { written, skipped, failed };
// Serialises and writes the catalogue as UTF-8, whatever the process locale.
save_status save(const std::string& path, const std::vector<Type>& types);

// ---- Teaching ("Mentes") ----

// Rows in the order X, Y, alpha, beta, as the panel labels them.
inline constexpr std::array<const char*, 4> row_names = {"X", "Y", "A", "B"};

struct teach_result {
    std::array<bool, 4> rejected{};  // true where the field kept its old target
    bool any_rejected() const;
};
// Reads the four actual-value texts with read_number into the record's targets. A field that
// holds no number (empty before the first reading, mistyped) or a value beyond float range
// teaches nothing: that target keeps its old value and the row is reported as rejected.
teach_result teach(Type& type, const std::array<wxString, 4>& actual);

// One log line naming the rejected rows; empty when none was rejected.
wxString rejected_message(const teach_result& result);

// ---- New types ("Uj tipus") ----

// One above the largest ID, 1 for an empty catalogue. When the largest is already the
// greatest 32-bit value, the smallest positive ID not in use.
std::int32_t next_free_id(const std::vector<Type>& types);

// The typed name when it is not blank and no type has it yet; otherwise "Uj tipus <id>".
wxString new_type_name(const std::vector<Type>& types, const wxString& typed, std::int32_t id);

struct new_type_result {
    Type type;
    teach_result taught;  // rows without a number start at 0
};
// The record "Uj tipus" appends: the next free ID, its name, targets taught from the fields.
new_type_result make_new_type(const std::vector<Type>& types, const wxString& typed_name,
                              const std::array<wxString, 4>& actual);

}  // namespace catalogue
