#include "catalogue.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

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

// Characters of valid UTF-8 text: every byte that does not continue a sequence.
std::size_t utf8_characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Arrays and objects nested deeper than any catalogue needs, counted outside strings before
// the parser sees the text.
bool nested_too_deep(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > catalogue::deepest_nesting) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
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
    const std::string_view text(name->GetString(), name->GetStringLength());
    if (!is_valid_utf8(text)) return quoted("name") + " is not valid text";
    if (utf8_characters(text) > longest_name) {
        return quoted("name") + " is longer than " + std::to_string(longest_name) + " characters";
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
    if (nested_too_deep(utf8)) {
        result.detail = "nested deeper than " + std::to_string(deepest_nesting) + " levels";
        return result;
    }
    // Iterative, so the parser's own depth never rests on the stack.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(utf8.data(), utf8.size());
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

bool long_enough_to_save(std::size_t characters) { return characters > longest_unsaved_text; }

bool name_fits(const wxString& name) { return name.length() <= longest_name; }

namespace {
bool is_blank(const wxString& name) {
    wxString stripped = name;
    return stripped.Trim(true).Trim(false).empty();
}
}  // namespace

wxString rename_refusal(const wxString& name) {
    // A type without a visible name cannot be told apart in the list.
    if (is_blank(name)) return "A nev ures, nem valtozott";
    if (name_fits(name)) return {};
    return wxString::Format("A nev tul hosszu, nem valtozott: %zu karakter (legfeljebb %zu)",
                            static_cast<std::size_t>(name.length()), longest_name);
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
    const bool taken =
        std::any_of(types.begin(), types.end(), [&typed](const Type& type) { return type.name == typed; });
    // A name the loader would refuse would make the whole file unloadable.
    if (is_blank(typed) || taken || !name_fits(typed)) return wxString::Format("Uj tipus %d", static_cast<int>(id));
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
