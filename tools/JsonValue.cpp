#include "JsonValue.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    bool parseDocument(JsonValue* out, std::string* why) {
        if (!parseValue(out, 0))
            return fail(why);
        skipSpace();
        if (pos_ != s_.size()) {
            error_ = "unexpected text after the document";
            return fail(why);
        }
        return true;
    }

private:
    bool fail(std::string* why) {
        if (why != nullptr)
            *why = error_ + " at byte " + std::to_string(pos_);
        return false;
    }

    void skipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            pos_++;
    }

    bool expectWord(const char* word) {
        const size_t n = strlen(word);
        if (s_.compare(pos_, n, word) != 0) {
            error_ = "unknown word";
            return false;
        }
        pos_ += n;
        return true;
    }

    bool parseValue(JsonValue* out, int depth) {
        if (depth > kMaxDepth) {
            error_ = "nested too deeply";
            return false;
        }
        skipSpace();
        if (pos_ >= s_.size()) {
            error_ = "unexpected end";
            return false;
        }
        const char c = s_[pos_];
        if (c == '{')
            return parseObject(out, depth);
        if (c == '[')
            return parseArray(out, depth);
        if (c == '"') {
            out->type = JsonValue::Type::String;
            return parseString(&out->text);
        }
        if (c == 't' || c == 'f') {
            out->type = JsonValue::Type::Bool;
            out->boolean = c == 't';
            return expectWord(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out->type = JsonValue::Type::Null;
            return expectWord("null");
        }
        return parseNumber(out);
    }

    bool parseNumber(JsonValue* out) {
        const size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-')
            pos_++;
        size_t digits = 0;
        while (pos_ < s_.size() && (isDigit(s_[pos_]) || s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E' ||
                                    ((s_[pos_] == '+' || s_[pos_] == '-') && pos_ > start &&
                                     (s_[pos_ - 1] == 'e' || s_[pos_ - 1] == 'E')))) {
            digits += isDigit(s_[pos_]) ? 1 : 0;
            pos_++;
        }
        if (digits == 0) {
            error_ = "not a value";
            return false;
        }
        out->type = JsonValue::Type::Number;
        out->text = s_.substr(start, pos_ - start);
        char* end = nullptr;
        out->number = strtod(out->text.c_str(), &end);
        if (end == nullptr || *end != '\0') {
            error_ = "malformed number";
            return false;
        }
        return true;
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool readHex4(uint32_t* out) {
        if (pos_ + 4 > s_.size()) {
            error_ = "short escape";
            return false;
        }
        uint32_t value = 0;
        for (int i = 0; i < 4; i++) {
            const int digit = hexValue(s_[pos_ + static_cast<size_t>(i)]);
            if (digit < 0) {
                error_ = "bad escape";
                return false;
            }
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        pos_ += 4;
        *out = value;
        return true;
    }

    static void appendUtf8(std::string* out, uint32_t cp) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool parseString(std::string* out) {
        pos_++;  // the opening quote
        out->clear();
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20) {
                error_ = "control character in a string";
                return false;
            }
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= s_.size())
                break;
            const char e = s_[pos_++];
            switch (e) {
                case '"': *out += '"'; break;
                case '\\': *out += '\\'; break;
                case '/': *out += '/'; break;
                case 'b': *out += '\b'; break;
                case 'f': *out += '\f'; break;
                case 'n': *out += '\n'; break;
                case 'r': *out += '\r'; break;
                case 't': *out += '\t'; break;
                case 'u': {
                    uint32_t cp = 0;
                    if (!readHex4(&cp))
                        return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF && s_.compare(pos_, 2, "\\u") == 0) {
                        pos_ += 2;
                        uint32_t low = 0;
                        if (!readHex4(&low))
                            return false;
                        cp = (low >= 0xDC00 && low <= 0xDFFF) ? 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00)
                                                              : 0xFFFD;
                    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                        cp = 0xFFFD;
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    error_ = "bad escape";
                    return false;
            }
        }
        error_ = "unterminated string";
        return false;
    }

    bool parseArray(JsonValue* out, int depth) {
        pos_++;
        out->type = JsonValue::Type::Array;
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            pos_++;
            return true;
        }
        for (;;) {
            out->items.emplace_back();
            if (!parseValue(&out->items.back(), depth + 1))
                return false;
            skipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                pos_++;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                pos_++;
                return true;
            }
            error_ = "expected , or ]";
            return false;
        }
    }

    bool parseObject(JsonValue* out, int depth) {
        pos_++;
        out->type = JsonValue::Type::Object;
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            pos_++;
            return true;
        }
        for (;;) {
            skipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') {
                error_ = "expected a member name";
                return false;
            }
            out->members.emplace_back();
            if (!parseString(&out->members.back().first))
                return false;
            skipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') {
                error_ = "expected :";
                return false;
            }
            pos_++;
            if (!parseValue(&out->members.back().second, depth + 1))
                return false;
            skipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                pos_++;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                pos_++;
                return true;
            }
            error_ = "expected , or }";
            return false;
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
    std::string error_;
};

void appendQuoted(std::string* out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    *out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            *out += "\\u00";
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

void write(std::string* out, const JsonValue& value) {
    switch (value.type) {
        case JsonValue::Type::Null: *out += "null"; break;
        case JsonValue::Type::Bool: *out += value.boolean ? "true" : "false"; break;
        case JsonValue::Type::Number: *out += value.text.empty() ? std::to_string(value.number) : value.text; break;
        case JsonValue::Type::String: appendQuoted(out, value.text); break;
        case JsonValue::Type::Array:
            *out += '[';
            for (size_t i = 0; i < value.items.size(); i++) {
                if (i > 0)
                    *out += ',';
                write(out, value.items[i]);
            }
            *out += ']';
            break;
        case JsonValue::Type::Object:
            *out += '{';
            for (size_t i = 0; i < value.members.size(); i++) {
                if (i > 0)
                    *out += ',';
                appendQuoted(out, value.members[i].first);
                *out += ':';
                write(out, value.members[i].second);
            }
            *out += '}';
            break;
    }
}

}  // namespace

const JsonValue* JsonValue::find(const std::string& key) const {
    if (type != Type::Object)
        return nullptr;
    for (const auto& member : members)
        if (member.first == key)
            return &member.second;
    return nullptr;
}

JsonValue* JsonValue::find(const std::string& key) {
    return const_cast<JsonValue*>(static_cast<const JsonValue*>(this)->find(key));
}

double JsonValue::numberAt(const std::string& key, double fallback) const {
    const JsonValue* member = find(key);
    return member != nullptr && member->type == Type::Number ? member->number : fallback;
}

bool JsonValue::boolAt(const std::string& key, bool fallback) const {
    const JsonValue* member = find(key);
    return member != nullptr && member->type == Type::Bool ? member->boolean : fallback;
}

std::string JsonValue::textAt(const std::string& key, const std::string& fallback) const {
    const JsonValue* member = find(key);
    return member != nullptr && member->type == Type::String ? member->text : fallback;
}

bool parseJson(const std::string& text, JsonValue* out, std::string* why) {
    *out = JsonValue();
    return Parser(text).parseDocument(out, why);
}

std::string toJson(const JsonValue& value) {
    std::string out;
    write(&out, value);
    return out;
}
