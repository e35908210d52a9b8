// Helpers shared by the fuzz harnesses: a scratch folder for the files a
// harness writes, and a check that stops the run with a message.
//
// The scratch folder is made on first use under $TMPDIR (or /tmp) and
// removed when the process exits normally. The replay tests and the fuzz
// script point TMPDIR at a folder of their own, so that a run that crashes
// leaves nothing outside it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzsupport {

// Stops the run (abort, so that the fuzzer keeps the input) when ok is false.
inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    std::abort();
}

class ScratchDir {
public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/rhfuzz-XXXXXX";
        require(mkdtemp(templ.data()) != nullptr, "cannot make a scratch folder");
        path_ = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The process's scratch folder.
inline ScratchDir& scratch() {
    static ScratchDir dir;
    return dir;
}

// Replaces the file at path (parent folders made as needed) by the bytes.
inline void writeFile(const std::string& path, const void* bytes, size_t size) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    FILE* f = std::fopen(path.c_str(), "wb");
    require(f != nullptr, "cannot write a scratch file");
    require(size == 0 || std::fwrite(bytes, 1, size, f) == size, "cannot write a scratch file");
    require(std::fclose(f) == 0, "cannot write a scratch file");
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    writeFile(path, bytes.data(), bytes.size());
}

// The whole file, or empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

}  // namespace fuzzsupport
