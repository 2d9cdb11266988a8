#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace standin {

// The --state file: one JSON object whose top-level keys each belong to the routes that
// keep something across runs. Without a path nothing is read or written.
class StateFile
{
public:
    explicit StateFile(std::string path);

    // The value saved under `key`; null when there is none.
    nlohmann::json section(const std::string& key) const;
    // Replaces the keys of `sections` and writes the file beside and renames it, so a
    // crash keeps the old one.
    void store(const nlohmann::json& sections);

private:
    const std::string m_path;
    mutable std::mutex m_mutex;
    nlohmann::json m_document = nlohmann::json::object();
};

} // namespace standin
