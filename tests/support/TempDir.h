// A private temporary directory for one test or benchmark run, and reading files back from it.
#pragma once

#include <string>

namespace gxtest {

// A new directory under the system's temporary directory, removed with everything in it when
// this goes out of scope. `prefix` names it ("gxemp-test-XXXXXX") so that a leftover is found.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "gxemp-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_Path; }
    std::string operator/(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

std::string ReadFile(const std::string& path);  // "" when there is none

}  // namespace gxtest
