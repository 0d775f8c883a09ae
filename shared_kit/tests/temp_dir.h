#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace ambrevoli::testing {

// A fresh folder for one test, removed with everything in it afterwards.
class ScopedTempDir {
public:
    ScopedTempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ambrevoli-test-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        m_path = pattern;
    }
    ~ScopedTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
    std::string m_path;
};

} // namespace ambrevoli::testing
