// The agent's journal as the tests read it: one JSON object a line (nlohmann-json).
#pragma once

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

// Each line of a JSON-lines text; FALSE when a line is not valid JSON.
inline bool ParseJsonLines(const std::string &text, std::vector<nlohmann::json> *values) {
    values->clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        values->push_back(nlohmann::json::parse(line, nullptr, false));
        if (values->back().is_discarded())
            return false;
    }
    return true;
}
