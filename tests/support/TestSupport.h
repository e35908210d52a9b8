// Helpers shared by the tests: every test works in folders of its own and
// leaves nothing behind, even when it fails.
#pragma once

#include <string>

namespace rhtest {

// A fresh folder under $TMPDIR (or /tmp), removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;
    // Writes bytes into path() + "/" + name, creating parent folders; returns the full path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// Sets (or unsets) an environment variable for the lifetime of the object,
// then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    // Unsets the variable.
    explicit ScopedEnv(const char* name);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

// Removes a folder tree (no symlink following); quiet when it does not exist.
void removeTree(const std::string& path);

}  // namespace rhtest
