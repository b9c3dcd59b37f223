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

// The catalogue file, relative to the station's working folder.
inline constexpr const char* settings_file_name = "Settings.dat";

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

// Limits that keep any file from stopping the station: larger files are not loaded (nor
// replaced), deeper documents and longer names are refused.
constexpr std::size_t largest_file = 16u * 1024u * 1024u;
constexpr int deepest_nesting = 32;
constexpr std::size_t longest_name = 256;  // characters

// False for a name above longest_name characters.
bool name_fits(const wxString& name);
// The log line that refuses a rename to a blank or too long name; empty when it may be taken.
wxString rename_refusal(const wxString& name);

// Which file a path held when it was looked at: a file replaced or rewritten is another one.
struct file_stamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modified_ns = 0;
    std::int64_t size = 0;
    bool operator==(const file_stamp& other) const;
};

// The catalogue file as the station last loaded or saved it, so that a save never replaces a
// file someone else put there.
struct file_seen {
    bool exists = false;  // a file was there (false: the station may create one)
    bool keep = false;    // it could not be taken in: never replace it
    file_stamp stamp;
    // Where the station's catalogue went once the file could not take it: later saves of the
    // session replace that copy rather than add one copy per save.
    std::string copy;
    file_stamp copy_stamp;
    bool same_file(const file_seen& other) const;
};

enum class read_status { ok, missing, unreadable };
struct read_result {
    read_status status = read_status::missing;
    std::string bytes;
    std::string reason;  // why the file could not be read
    file_seen seen;
};
// Reads a whole file of at most largest_file bytes; a symbolic link is read through, and one
// that leads nowhere is unreadable, not missing.
read_result read_file(const std::string& path);

// The outcome of one write: error is the errno of the failure, 0 on success.
struct write_result {
    int error = 0;
    bool in_place = false;  // the folder took no temporary file: written over the file itself
    int temp_error = 0;     // why the temporary file could not be made, when in_place
    file_seen written;
    bool ok() const { return error == 0; }
};
// Replaces path (or, for a symbolic link, its target) with bytes through a flushed temporary
// file renamed over it, keeping mode, owner and group where the process may. When the folder
// takes no temporary file but the file is writable, writes the file in place.
write_result write_file_atomically(const std::string& path, const std::string& bytes);
// Creates path with bytes; fails with EEXIST, never replacing, if anything is there.
write_result create_file(const std::string& path, const std::string& bytes);

// ---- Loading and saving as the positioner does it ----

enum class load_status { loaded, missing, unreadable, parse_error, wrong_shape };
struct load_result {
    load_status status = load_status::missing;
    std::vector<Type> types;  // empty unless loaded
    std::string detail;       // why it failed
    file_seen seen;
};
load_result load(const std::string& path);
// The load result of a parsed text that came from no file.
load_result interpret(parse_result parsed);

// The log line for a load ("Settings file not exist: Settings.dat", "Json Pharse error: ...");
// empty after a successful load.
wxString load_message(const load_result& result, const std::string& path);

// A file that exists but could not be taken in must not be replaced by the (empty) catalogue
// of the failed load; a missing file may be created.
bool may_save_after(load_status status);

// A text this short is never written: a real catalogue is at least 24 characters, so a shorter
// one means serialisation failed.
constexpr std::size_t longest_unsaved_text = 9;
bool long_enough_to_save(std::size_t characters);

enum class save_status {
    written,         // the file the station knew was replaced
    created,         // no file was there; one was made
    written_beside,  // the file could not be replaced (see reason): the catalogue went to `beside`
    skipped,         // nothing written (see reason)
    failed           // neither the file nor a copy beside it took the catalogue
};
struct save_result {
    save_status status = save_status::skipped;
    std::string reason;       // why the file was not written
    std::string beside;       // the station copy that holds the catalogue
    std::string copy_reason;  // why no copy could be written either
    bool in_place = false;    // written, but not atomically (see reason)
};
// The reason of a save that found the file changed since the station loaded or saved it.
inline constexpr const char* changed_on_disk = "changed on disk";
// Saves the catalogue as UTF-8 whatever the process locale. Replaces path only when it is the
// file seen describes and it may be written; whenever it cannot replace or create it, for
// whatever reason, the catalogue goes to a station copy beside it, so no work is lost without
// a file that holds it. Updates seen after a write.
save_result save(const std::string& path, const std::vector<Type>& types, file_seen& seen);
// The log line for a save; empty for a plain good save.
wxString save_message(const save_result& result, const std::string& path);
// Where the catalogue went, for the records: "saved in FILE", "saved in COPY" or
// "not saved: REASON".
std::string save_place(const save_result& result, const std::string& path);

// ---- One station per folder ----

enum class lock_status { held, taken, unavailable };
struct folder_lock {
    lock_status status = lock_status::unavailable;
    int fd = -1;  // kept open for the life of the process
    std::string reason;
};
// Locks the folder of the catalogue at path (the folder itself, so no file can be deleted to
// lose the lock), waiting up to wait_ms for a station that is closing (a self-update starts its successor before the old program has ended).
folder_lock lock_folder(const std::string& path, int wait_ms);

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

// The typed name when it is not blank, fits and no type has it yet; otherwise "Uj tipus <id>".
wxString new_type_name(const std::vector<Type>& types, const wxString& typed, std::int32_t id);

struct new_type_result {
    Type type;
    teach_result taught;  // rows without a number start at 0
};
// The record "Uj tipus" appends: the next free ID, its name, targets taught from the fields.
new_type_result make_new_type(const std::vector<Type>& types, const wxString& typed_name,
                              const std::array<wxString, 4>& actual);

}  // namespace catalogue
