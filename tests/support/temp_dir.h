#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace glowtern::testing {

// A fresh directory for one test, removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Sets an environment variable for one scope (null: removes it).
struct ScopedEnvironment {
    ScopedEnvironment(const char* variable, const char* value) : name(variable) {
        if (const char* before = std::getenv(name)) {
            old = before;
        }
        set(value);
    }
    ~ScopedEnvironment() { set(old ? old->c_str() : nullptr); }
    void set(const char* value);

    const char* name;
    std::optional<std::string> old;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

}  // namespace glowtern::testing
