#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace glowtern::testing {

// A fresh directory for one test, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "glowtern-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
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
    void set(const char* value) { value ? ::setenv(name, value, 1) : ::unsetenv(name); }

    const char* name;
    std::optional<std::string> old;
};

inline std::string readFile(const std::string& path) {
    std::ostringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

inline void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

}  // namespace glowtern::testing
