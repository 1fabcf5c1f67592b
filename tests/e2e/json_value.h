// A small strict JSON reader for the tests: the agent's journal lines must
// be valid JSON, and the tests look at their fields.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } Type = Kind::Null;
    bool Bool = false;
    double Number = 0;
    std::string String; // UTF-8
    std::vector<JsonValue> Array;
    std::map<std::string, JsonValue> Object;

    bool Has(const std::string &key) const { return Object.count(key) != 0; }
    const JsonValue &operator[](const std::string &key) const;
    const JsonValue &operator[](size_t index) const { return Array.at(index); }
};

// Parses one whole JSON text; FALSE (with the offset of the fault) when it
// is not valid JSON or has anything after the value.
bool ParseJson(const std::string &text, JsonValue *value, size_t *faultAt = nullptr);
// Each line of a JSON-lines text; FALSE when a line is not valid JSON.
bool ParseJsonLines(const std::string &text, std::vector<JsonValue> *values);
