#include "auth/oidc/json_doc.h"

#include <algorithm>
#include <cmath>

namespace fenra::oidc {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether a name occurs twice: pairwise for the small objects of tokens,
// sorted for larger ones.
bool has_repeat(std::vector<std::string_view>& names) {
    if (names.size() <= 32) {
        for (size_t i = 1; i < names.size(); ++i)
            for (size_t j = 0; j < i; ++j)
                if (names[i] == names[j]) return true;
        return false;
    }
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) != names.end();
}

}  // namespace

JsonParser::JsonParser(size_t max_size) : parser_(max_size) {}

Result<JsonObject> JsonParser::parse_object(std::string_view text, bool padded) {
    if (text.empty() || text.size() > parser_.max_capacity()) return Error::ParseError;
    JsonValue root;
    if (parser_.parse(text.data(), text.size(), !padded).get(root) != simdjson::SUCCESS)
        return Error::ParseError;
    JsonObject top;
    if (root.get_object().get(top) != simdjson::SUCCESS) return Error::ParseError;

    // Every object of the document, depth first, with its own member names
    // sorted to find a repeat.
    open_.assign(1, {root, 1});
    while (!open_.empty()) {
        const auto [v, depth] = open_.back();
        open_.pop_back();
        if (depth > kMaxJsonDepth) return Error::ParseError;
        if (v.is_object()) {
            names_.clear();
            for (const auto field : JsonObject(v)) {
                names_.push_back(field.key);
                if (field.value.is_object() || field.value.is_array())
                    open_.emplace_back(field.value, depth + 1);
            }
            if (has_repeat(names_)) return Error::Malformed;
        } else {
            for (const JsonValue e : simdjson::dom::array(v))
                if (e.is_object() || e.is_array()) open_.emplace_back(e, depth + 1);
        }
    }
    return top;
}

std::optional<JsonValue> member(JsonObject o, std::string_view name) {
    JsonValue v;
    if (o.at_key(name).get(v) != simdjson::SUCCESS) return std::nullopt;
    return v;
}

bool has_member(JsonObject o, std::string_view name) {
    return member(o, name).has_value();
}

Result<std::string_view> string_value(JsonValue v) {
    std::string_view s;
    if (v.get_string().get(s) != simdjson::SUCCESS) return Error::InvalidFormat;
    return s;
}

Result<bool> bool_value(JsonValue v) {
    bool b = false;
    if (v.get_bool().get(b) != simdjson::SUCCESS) return Error::InvalidFormat;
    return b;
}

Result<int64_t> date_value(JsonValue v) {
    int64_t i = 0;
    double d = 0;
    if (v.get_int64().get(i) == simdjson::SUCCESS) {
        // an integer that fits
    } else if (v.is_double() && v.get_double().get(d) == simdjson::SUCCESS && std::isfinite(d) &&
               d >= 0 && d <= static_cast<double>(kMaxNumericDate)) {
        i = static_cast<int64_t>(d);
    } else {
        return Error::InvalidFormat;
    }
    if (i < 0 || i > kMaxNumericDate) return Error::InvalidFormat;
    return i;
}

namespace {

// A typed reader by name, from a typed reader of a value.
template <class T>
Result<std::optional<T>> typed_member(JsonObject o, std::string_view name,
                                      Result<T> (*read)(JsonValue)) {
    const auto v = member(o, name);
    if (!v) return std::optional<T>{};
    const Result<T> r = read(*v);
    if (!r) return r.error();
    return std::optional<T>{*r};
}

}  // namespace

Result<std::optional<std::string_view>> string_member(JsonObject o, std::string_view name) {
    return typed_member(o, name, string_value);
}

Result<std::optional<bool>> bool_member(JsonObject o, std::string_view name) {
    return typed_member(o, name, bool_value);
}

Result<std::optional<int64_t>> date_member(JsonObject o, std::string_view name) {
    return typed_member(o, name, date_value);
}

Result<bool> names_one_of(JsonValue v, const std::vector<std::string_view>& wanted) {
    auto wanted_one = [&](std::string_view s) {
        return std::find(wanted.begin(), wanted.end(), s) != wanted.end();
    };
    std::string_view s;
    if (v.get_string().get(s) == simdjson::SUCCESS) return wanted_one(s);
    simdjson::dom::array list;
    if (v.get_array().get(list) != simdjson::SUCCESS) return Error::InvalidFormat;
    bool found = false;
    for (const JsonValue e : list) {
        if (e.get_string().get(s) != simdjson::SUCCESS) return Error::InvalidFormat;
        found = found || wanted_one(s);
    }
    return found;
}

std::string shown(JsonValue v) {
    std::string_view s;
    if (v.get_string().get(s) == simdjson::SUCCESS) return std::string(s);
    return simdjson::minify(v);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace fenra::oidc
