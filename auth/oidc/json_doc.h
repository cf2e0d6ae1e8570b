// JSON documents from the provider (JWT header and payload, JWKS, token
// introspection) read with a real parser: UTF-8 checked, escapes decoded, and
// stricter than JSON itself where a token's meaning could otherwise be
// ambiguous: the top level must be an object, no object may name a member
// twice, nesting stops at kMaxJsonDepth. Members are read with their types: a
// member present with another type is an error, never a default.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/result.h"

namespace fenra::oidc {

inline constexpr size_t kJsonPadding = simdjson::SIMDJSON_PADDING;
inline constexpr size_t kMaxJsonDepth = 16;

using JsonObject = simdjson::dom::object;
using JsonValue = simdjson::dom::element;

class JsonParser {
  public:
    // Documents of at most max_size bytes.
    explicit JsonParser(size_t max_size);

    // The top-level object of text. ParseError for text that is not JSON, too
    // deep or too large, or whose top level is not an object; Malformed for a
    // member named twice in any object. With padded, kJsonPadding readable
    // bytes follow the text (saving a copy). The object and every view read
    // from it stay valid until the next parse.
    Result<JsonObject> parse_object(std::string_view text, bool padded = false);

  private:
    simdjson::dom::parser parser_;
    // Scratch of the duplicate check: the containers still to visit with
    // their depth, and one object's member names.
    std::vector<std::pair<JsonValue, size_t>> open_;
    std::vector<std::string_view> names_;
};

// Typed readers of a value: InvalidFormat when it has another type (or, for
// numbers, lies outside [0, kMaxNumericDate]).
inline constexpr int64_t kMaxNumericDate = 253402300799;  // 9999-12-31T23:59:59Z
Result<std::string_view> string_value(JsonValue v);
Result<bool> bool_value(JsonValue v);
// A NumericDate: an integer or a finite number (its fraction dropped).
Result<int64_t> date_value(JsonValue v);

// Typed member readers, the same by name: nullopt when the member is absent.
Result<std::optional<std::string_view>> string_member(JsonObject o, std::string_view name);
Result<std::optional<bool>> bool_member(JsonObject o, std::string_view name);
Result<std::optional<int64_t>> date_member(JsonObject o, std::string_view name);
bool has_member(JsonObject o, std::string_view name);

// The member as it is, or nullopt.
std::optional<JsonValue> member(JsonObject o, std::string_view name);

// A string, or an array of strings, naming one of wanted. InvalidFormat for
// any other form (an array holding anything but strings included).
Result<bool> names_one_of(JsonValue v, const std::vector<std::string_view>& wanted);

// The value as compact JSON text, or a string's content, for log lines.
std::string shown(JsonValue v);

// ASCII case-insensitive equality.
bool equal_ignoring_case(std::string_view a, std::string_view b);

}  // namespace fenra::oidc
