#include "StateFile.h"

#include <cstdio>
#include <fstream>

namespace standin {

StateFile::StateFile(std::string path) : m_path(std::move(path))
{
    if (m_path.empty())
        return;
    std::ifstream in(m_path);
    nlohmann::json saved = nlohmann::json::parse(in, nullptr, false);
    if (saved.is_object())
        m_document = std::move(saved);
}

nlohmann::json StateFile::section(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_document.find(key);
    return found == m_document.end() ? nlohmann::json() : *found;
}

void StateFile::store(const nlohmann::json& sections)
{
    if (m_path.empty())
        return;
    std::lock_guard lock(m_mutex);
    m_document.update(sections);
    const std::string temporary = m_path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << m_document.dump();
        if (!out.flush())
            return;
    }
    std::rename(temporary.c_str(), m_path.c_str());
}

} // namespace standin
