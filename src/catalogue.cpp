#include "catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "text_convert.h"

namespace {

constexpr const char* number_keys[4] = {"X", "Y", "alpha", "beta"};

// The largest double that still rounds to FLT_MAX rather than to infinity lies below this.
const double float_overflow = double(FLT_MAX) + std::ldexp(1.0, 103);

// A double that narrows to a finite float; anything else has no place in a target.
bool fits_float(double value) { return std::isfinite(value) && std::fabs(value) < float_overflow; }

// Narrowing without the undefined cast of a value just above FLT_MAX: such a value reads back
// from the file a little high when it was written from FLT_MAX.
float narrow(double value) {
    if (std::fabs(value) <= double(FLT_MAX)) return static_cast<float>(value);
    return value > 0 ? FLT_MAX : -FLT_MAX;
}

std::array<float*, 4> targets_of(Type& type) { return {&type.X, &type.Y, &type.alpha, &type.beta}; }
std::array<float, 4> targets_of(const Type& type) { return {type.X, type.Y, type.alpha, type.beta}; }

// First occurrence of a key, as FindMember gives it; null when absent.
const rapidjson::Value* member(const rapidjson::Value& object, const char* key) {
    const auto found = object.FindMember(key);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

std::string quoted(const char* key) { return std::string("\"") + key + "\""; }

rapidjson::Value type_to_value(const Type& type, rapidjson::Document::AllocatorType& allocator) {
    rapidjson::Value object(rapidjson::kObjectType);
    object.AddMember("ID", rapidjson::Value(type.ID), allocator);
    const std::string name = to_utf8(type.name);
    object.AddMember("name",
                     rapidjson::Value(name.data(), static_cast<rapidjson::SizeType>(name.size()), allocator),
                     allocator);
    const std::array<float, 4> targets = targets_of(type);
    for (size_t i = 0; i < targets.size(); ++i) {
        object.AddMember(rapidjson::StringRef(number_keys[i]), rapidjson::Value(double(targets[i])), allocator);
    }
    return object;
}

std::string document_shape_error(const rapidjson::Document& document) {
    if (!document.IsObject()) return "the root is not an object";
    const rapidjson::Value* list = member(document, "ShaftTypes");
    if (list == nullptr) return "no \"ShaftTypes\" member";
    if (!list->IsArray()) return "\"ShaftTypes\" is not an array";
    for (rapidjson::SizeType i = 0; i < list->Size(); ++i) {
        const std::string error = catalogue::element_shape_error((*list)[i]);
        if (!error.empty()) return "ShaftTypes[" + std::to_string(i) + "]: " + error;
    }
    return {};
}

std::string parse_error_text(const rapidjson::Document& document) {
    return std::string(rapidjson::GetParseError_En(document.GetParseError())) + " at offset " +
           std::to_string(document.GetErrorOffset());
}

// Writes all of bytes, retrying short writes and interruptions.
bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// mkstemp creates 0600; the catalogue keeps the old file's mode, or gets the usual one for a new file.
mode_t mode_for(const std::string& path) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) return existing.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Some file systems cannot sync a folder; the new file is in place either way.
    ::fsync(fd);
    ::close(fd);
}

bool read_all(int fd, std::string& bytes) {
    bytes.clear();
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        bytes.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace

Type::Type(const rapidjson::Value& value) {
    // RapidJSON's accessors abort on a wrong type: an unchecked element gives a default record.
    if (!catalogue::element_shape_error(value).empty()) return;
    ID = member(value, "ID")->GetInt();
    const rapidjson::Value& text = *member(value, "name");
    name = from_utf8(std::string_view(text.GetString(), text.GetStringLength()));
    const std::array<float*, 4> targets = targets_of(*this);
    for (size_t i = 0; i < targets.size(); ++i) {
        *targets[i] = narrow(member(value, number_keys[i])->GetDouble());
    }
}

namespace catalogue {

bool is_storable(const Type& type) {
    const std::array<float, 4> targets = targets_of(type);
    return std::all_of(targets.begin(), targets.end(), [](float target) { return std::isfinite(target); });
}

std::string to_json(const std::vector<Type>& types) {
    if (!std::all_of(types.begin(), types.end(), is_storable)) return {};
    rapidjson::Document document;
    document.SetObject();
    auto& allocator = document.GetAllocator();
    rapidjson::Value list(rapidjson::kArrayType);
    for (const Type& type : types) list.PushBack(type_to_value(type, allocator), allocator);
    document.AddMember("ShaftTypes", list, allocator);

    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer)) return {};
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string element_shape_error(const rapidjson::Value& element) {
    if (!element.IsObject()) return "not an object";
    const rapidjson::Value* id = member(element, "ID");
    if (id == nullptr) return "no " + quoted("ID");
    if (!id->IsInt()) return quoted("ID") + " is not a 32-bit integer";
    const rapidjson::Value* name = member(element, "name");
    if (name == nullptr) return "no " + quoted("name");
    if (!name->IsString()) return quoted("name") + " is not a string";
    // An escaped lone surrogate decodes to bytes that are not UTF-8 and would read as no name.
    if (!is_valid_utf8(std::string_view(name->GetString(), name->GetStringLength()))) {
        return quoted("name") + " is not valid text";
    }
    for (const char* key : number_keys) {
        const rapidjson::Value* number = member(element, key);
        if (number == nullptr) return "no " + quoted(key);
        if (!number->IsNumber()) return quoted(key) + " is not a number";
        if (!fits_float(number->GetDouble())) return quoted(key) + " is beyond the float range";
    }
    return {};
}

parse_result from_json(std::string_view utf8) {
    parse_result result;
    if (!is_valid_utf8(utf8)) {
        result.detail = "not valid UTF-8";
        return result;
    }
    // The parser takes a NUL byte for the end of the text and would ignore whatever follows it.
    if (utf8.find('\0') != std::string_view::npos) {
        result.detail = "contains a NUL byte";
        return result;
    }
    rapidjson::Document document;
    document.Parse(utf8.data(), utf8.size());
    if (document.HasParseError()) {
        result.detail = parse_error_text(document);
        return result;
    }
    result.detail = document_shape_error(document);
    if (!result.detail.empty()) {
        result.status = parse_status::wrong_shape;
        return result;
    }
    const rapidjson::Value& list = document["ShaftTypes"];
    result.types.reserve(list.Size());
    for (const auto& element : list.GetArray()) result.types.emplace_back(element);
    result.status = parse_status::ok;
    return result;
}

// A save killed between creating its temporary file and the rename leaves that file behind;
// the next good save clears such leftovers so they do not pile up beside the catalogue.
namespace {
void remove_interrupted_saves(const std::string& folder, const std::string& base) {
    const std::string prefix = "." + base + ".";
    constexpr std::size_t unique_part = 6;  // mkostemp's XXXXXX
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != prefix.size() + unique_part || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (entry.is_regular_file(error)) std::filesystem::remove(entry.path(), error);
    }
}
}  // namespace

bool write_file_atomically(const std::string& path, const std::string& bytes) {
    const std::string folder = folder_of(path);
    const auto slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = folder + "/." + base + ".XXXXXX";
    const mode_t mode = mode_for(path);

    // Close-on-exec: the self-update may start a shell while the file is open.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write_all(fd, bytes) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    sync_folder(folder);
    remove_interrupted_saves(folder, base);
    return true;
}

read_status read_file(const std::string& path, std::string& bytes) {
    bytes.clear();
    // Non-blocking, so a FIFO in the file's place cannot hang the screen; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? read_status::missing : read_status::unreadable;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && read_all(fd, bytes);
    ::close(fd);
    if (!ok) {
        bytes.clear();
        return read_status::unreadable;
    }
    return read_status::ok;
}

load_result load(const std::string& path) {
    load_result result;
    std::string bytes;
    switch (read_file(path, bytes)) {
        case read_status::missing:
            result.status = load_status::missing;
            return result;
        case read_status::unreadable:
            result.status = load_status::unreadable;
            result.detail = "cannot be opened or read";
            return result;
        case read_status::ok:
            break;
    }
    parse_result parsed = from_json(bytes);
    result.detail = parsed.detail;
    switch (parsed.status) {
        case parse_status::ok:
            result.status = load_status::loaded;
            result.types = std::move(parsed.types);
            break;
        case parse_status::parse_error:
            result.status = load_status::parse_error;
            break;
        case parse_status::wrong_shape:
            result.status = load_status::wrong_shape;
            break;
    }
    return result;
}

wxString load_message(const load_result& result, const std::string& path) {
    switch (result.status) {
        case load_status::loaded:
            return {};
        case load_status::missing:
            return wxString::Format("Settings file not exist: %s", from_locale_narrow(path));
        case load_status::unreadable:
            return wxString::Format("Settings file not readable: %s", from_locale_narrow(path));
        case load_status::parse_error:
        case load_status::wrong_shape:
            break;
    }
    return "Json Pharse error";
}

bool may_save_after(load_status status) {
    return status == load_status::loaded || status == load_status::missing;
}

bool long_enough_to_save(std::size_t characters) { return characters > longest_unsaved_text; }

save_status save(const std::string& path, const std::vector<Type>& types) {
    const std::string bytes = to_json(types);
    if (!long_enough_to_save(bytes.size())) return save_status::skipped;
    return write_file_atomically(path, bytes) ? save_status::written : save_status::failed;
}

bool teach_result::any_rejected() const {
    return std::any_of(rejected.begin(), rejected.end(), [](bool row) { return row; });
}

teach_result teach(Type& type, const std::array<wxString, 4>& actual) {
    teach_result result;
    const std::array<float*, 4> targets = targets_of(type);
    for (size_t i = 0; i < targets.size(); ++i) {
        const std::optional<double> value = read_number(actual[i]);
        if (value && fits_float(*value)) {
            *targets[i] = narrow(*value);
        } else {
            result.rejected[i] = true;
        }
    }
    return result;
}

wxString rejected_message(const teach_result& result) {
    wxString rows;
    for (size_t i = 0; i < result.rejected.size(); ++i) {
        if (!result.rejected[i]) continue;
        if (!rows.empty()) rows += ", ";
        rows += row_names[i];
    }
    if (rows.empty()) return {};
    return "Ervenytelen ertek, a cel nem valtozott: " + rows;
}

std::int32_t next_free_id(const std::vector<Type>& types) {
    if (types.empty()) return 1;
    const auto by_id = [](const Type& a, const Type& b) { return a.ID < b.ID; };
    const std::int32_t largest = std::max_element(types.begin(), types.end(), by_id)->ID;
    if (largest < std::numeric_limits<std::int32_t>::max()) return largest + 1;
    std::vector<std::int32_t> used;
    used.reserve(types.size());
    for (const Type& type : types)
        if (type.ID > 0) used.push_back(type.ID);
    std::sort(used.begin(), used.end());
    std::int32_t candidate = 1;
    for (const std::int32_t id : used) {
        if (id > candidate) break;
        if (id == candidate) ++candidate;
    }
    return candidate;
}

wxString new_type_name(const std::vector<Type>& types, const wxString& typed, std::int32_t id) {
    wxString stripped = typed;
    stripped.Trim(true).Trim(false);
    const bool taken =
        std::any_of(types.begin(), types.end(), [&typed](const Type& type) { return type.name == typed; });
    if (stripped.empty() || taken) return wxString::Format("Uj tipus %d", static_cast<int>(id));
    return typed;
}

new_type_result make_new_type(const std::vector<Type>& types, const wxString& typed_name,
                              const std::array<wxString, 4>& actual) {
    new_type_result result;
    result.type.ID = next_free_id(types);
    result.type.name = new_type_name(types, typed_name, result.type.ID);
    result.taught = teach(result.type, actual);
    return result;
}

}  // namespace catalogue
