#pragma once
// A small strict JSON reader, so that tests read the companion's JSON back instead of comparing
// text: objects, arrays, strings (with \uXXXX escapes, kept as UTF-8), numbers, true, false and
// null. Anything else, or anything after the value, throws.

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace json {

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::map<std::string, Value> members;

    bool is_null() const { return kind == Kind::Null; }
    // The member `key` of an object; throws when this is not an object or has no such member.
    const Value& operator[](const std::string& key) const {
        if (kind != Kind::Object) throw std::runtime_error("not an object, looking for " + key);
        const auto found = members.find(key);
        if (found == members.end()) throw std::runtime_error("no member " + key);
        return found->second;
    }
};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    Value document() {
        Value value = any();
        skip_space();
        if (at_ != text_.size()) fail("text after the value");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(at_));
    }
    void skip_space() {
        while (at_ < text_.size() &&
               std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos)
            ++at_;
    }
    char next() {
        if (at_ >= text_.size()) fail("unexpected end");
        return text_[at_++];
    }
    void expect(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) fail("expected " + std::string(word));
        at_ += word.size();
    }
    Value any() {
        skip_space();
        if (at_ >= text_.size()) fail("no value");
        Value value;
        switch (text_[at_]) {
            case '{':
                value.kind = Value::Kind::Object;
                object(value);
                break;
            case '[':
                value.kind = Value::Kind::Array;
                array(value);
                break;
            case '"':
                value.kind = Value::Kind::String;
                value.text = string();
                break;
            case 't':
                expect("true");
                value.kind = Value::Kind::Bool;
                value.boolean = true;
                break;
            case 'f':
                expect("false");
                value.kind = Value::Kind::Bool;
                break;
            case 'n':
                expect("null");
                break;
            default:
                value.kind = Value::Kind::Number;
                value.number = number();
                break;
        }
        return value;
    }
    void object(Value& value) {
        ++at_;
        skip_space();
        if (at_ < text_.size() && text_[at_] == '}') return void(++at_);
        for (;;) {
            skip_space();
            if (at_ >= text_.size() || text_[at_] != '"') fail("expected a member name");
            std::string key = string();
            skip_space();
            if (next() != ':') fail("expected ':'");
            value.members[key] = any();
            skip_space();
            const char c = next();
            if (c == '}') return;
            if (c != ',') fail("expected ',' or '}'");
        }
    }
    void array(Value& value) {
        ++at_;
        skip_space();
        if (at_ < text_.size() && text_[at_] == ']') return void(++at_);
        for (;;) {
            value.items.push_back(any());
            skip_space();
            const char c = next();
            if (c == ']') return;
            if (c != ',') fail("expected ',' or ']'");
        }
    }
    std::string string() {
        ++at_;
        std::string out;
        for (;;) {
            const char c = next();
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = next();
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meant = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string_view::npos) {
                out += meant[simple.find(e)];
            } else if (e == 'u') {
                append_utf8(out, hex4());
            } else {
                fail("bad escape");
            }
        }
    }
    unsigned hex4() {
        if (at_ + 4 > text_.size()) fail("short \\u escape");
        const std::string digits(text_.substr(at_, 4));
        char* end = nullptr;
        const unsigned long code = std::strtoul(digits.c_str(), &end, 16);
        if (end != digits.c_str() + 4) fail("bad \\u escape");
        at_ += 4;
        return static_cast<unsigned>(code);
    }
    static void append_utf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    double number() {
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-0123456789.eE").find(text_[at_]) != std::string_view::npos)
            ++at_;
        const std::string digits(text_.substr(start, at_ - start));
        char* end = nullptr;
        const double value = std::strtod(digits.c_str(), &end);
        if (digits.empty() || end != digits.c_str() + digits.size()) fail("bad number");
        return value;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

inline Value parse(std::string_view text) { return Reader(text).document(); }

}  // namespace json
