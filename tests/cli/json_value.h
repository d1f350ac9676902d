// A small strict JSON reader for checking the command line's output.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace jsonv {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<Value> items;
    std::map<std::string, Value> fields;
    std::vector<std::string> order;  // field names as written

    const Value& operator[](const std::string& k) const {
        static const Value none;
        auto it = fields.find(k);
        return it == fields.end() ? none : it->second;
    }
    const Value& operator[](size_t i) const { return items.at(i); }
    bool has(const std::string& k) const { return fields.count(k) != 0; }
};

class Reader {
public:
    explicit Reader(const std::string& text) : s(text) {}

    // False on any syntax error or trailing text.
    bool Parse(Value& out) {
        if (!ReadValue(out, 0)) return false;
        Skip();
        return i == s.size();
    }

private:
    void Skip() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
    }
    bool Lit(const char* w) {
        const std::string word(w);
        if (s.compare(i, word.size(), word) != 0) return false;
        i += word.size();
        return true;
    }
    bool ReadString(std::string& out) {
        if (i >= s.size() || s[i] != '"') return false;
        ++i;
        while (i < s.size() && s[i] != '"') {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                ++i;
                continue;
            }
            if (++i >= s.size()) return false;
            const char e = s[i++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (i + 4 > s.size()) return false;
                const unsigned v = static_cast<unsigned>(std::stoul(s.substr(i, 4), nullptr, 16));
                i += 4;
                if (v < 0x80) out += static_cast<char>(v);
                else out += "?";
                break;
            }
            default: return false;
            }
        }
        if (i >= s.size()) return false;
        ++i;
        return true;
    }
    bool ReadValue(Value& v, int depth) {
        if (depth > 64) return false;
        Skip();
        if (i >= s.size()) return false;
        const char c = s[i];
        if (c == '{') {
            v.kind = Value::Object;
            ++i;
            Skip();
            if (i < s.size() && s[i] == '}') return ++i, true;
            for (;;) {
                Skip();
                std::string key;
                if (!ReadString(key)) return false;
                Skip();
                if (i >= s.size() || s[i++] != ':') return false;
                Value item;
                if (!ReadValue(item, depth + 1)) return false;
                if (v.fields.count(key)) return false;
                v.order.push_back(key);
                v.fields[key] = std::move(item);
                Skip();
                if (i < s.size() && s[i] == ',') { ++i; continue; }
                if (i < s.size() && s[i] == '}') return ++i, true;
                return false;
            }
        }
        if (c == '[') {
            v.kind = Value::Array;
            ++i;
            Skip();
            if (i < s.size() && s[i] == ']') return ++i, true;
            for (;;) {
                Value item;
                if (!ReadValue(item, depth + 1)) return false;
                v.items.push_back(std::move(item));
                Skip();
                if (i < s.size() && s[i] == ',') { ++i; continue; }
                if (i < s.size() && s[i] == ']') return ++i, true;
                return false;
            }
        }
        if (c == '"') {
            v.kind = Value::String;
            return ReadString(v.str);
        }
        if (Lit("true")) { v.kind = Value::Bool; v.b = true; return true; }
        if (Lit("false")) { v.kind = Value::Bool; return true; }
        if (Lit("null")) { v.kind = Value::Null; return true; }
        size_t start = i;
        if (i < s.size() && s[i] == '-') ++i;
        while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.' || s[i] == 'e' || s[i] == 'E' || s[i] == '+' || s[i] == '-')) ++i;
        if (i == start) return false;
        v.kind = Value::Number;
        v.num = std::stod(s.substr(start, i - start));
        return true;
    }

    const std::string& s;
    size_t i = 0;
};

inline bool Parse(const std::string& text, Value& out) { return Reader(text).Parse(out); }

}  // namespace jsonv
