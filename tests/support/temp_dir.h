#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace glowtern::testing {

// A fresh directory for one test, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto name = "glowtern-" + std::to_string(random());
            const auto candidate = std::filesystem::temp_directory_path() / name;
            if (std::filesystem::create_directory(candidate)) {  // not one that was there
                std::filesystem::permissions(candidate, std::filesystem::perms::owner_all);
                path_ = candidate;
            }
        }
        if (path_.empty()) {
            throw std::runtime_error("cannot make a temporary directory");
        }
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
#ifdef _WIN32
    void set(const char* value) {
        _putenv_s(name, value ? value : "");
    }  // "": removed
#else
    void set(const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
#endif

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
