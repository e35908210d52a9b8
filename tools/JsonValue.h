// A small JSON reader and writer for the server's status document: enough to
// read what the server sends, merge its pages and print them again.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object };

    Type type = Type::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;  // a string's value; a number's text as it was read
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    bool isNull() const { return type == Type::Null; }
    // The member `key` of an object, or null when absent (or not an object).
    const JsonValue* find(const std::string& key) const;
    JsonValue* find(const std::string& key);
    // The member as a number, bool or text; `fallback` when absent or of another type.
    double numberAt(const std::string& key, double fallback = 0.0) const;
    bool boolAt(const std::string& key, bool fallback = false) const;
    std::string textAt(const std::string& key, const std::string& fallback = std::string()) const;
};

// Parses `text` (one JSON value, nothing but white space after it) into *out.
// Nesting deeper than 64 levels is refused. false with a reason in *why.
bool parseJson(const std::string& text, JsonValue* out, std::string* why);

// The value as compact JSON text; numbers keep the text they were read with.
std::string toJson(const JsonValue& value);
