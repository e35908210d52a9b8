#include "RhUtils.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <sys/syscall.h>
#include <unistd.h>

void RhUSleep(int microseconds) {
    if (microseconds > 0) usleep(static_cast<useconds_t>(microseconds));
}

int RhPageSize() { return getpagesize(); }

int RhRmfile(const char* path) { return path ? unlink(path) : -1; }

int RhRmdir(const char* path) { return path ? rmdir(path) : -1; }

uint64_t RhUtils::getCurrentThreadID() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

void RhUtils::extractVersionNumbers(const RhString* text, int* major, int* minor, int* patch) {
    int fields[6] = {999, 999, 999, 999, 999, 999};
    if (text) {
        char copy[129];
        strncpy(copy, text->getText(), 128);
        copy[128] = '\0';
        char* state = nullptr;
        int n = 0;
        for (char* field = strtok_r(copy, ".", &state); field && n < 6; field = strtok_r(nullptr, ".", &state)) {
            fields[n++] = atoi(field);
        }
    }
    if (major) *major = fields[0];
    if (minor) *minor = fields[1];
    if (patch) *patch = fields[2];
}

bool RhUtils::isspaceUnicodeSafe(const int& c) {
    if (c < 0) return false;
    if (c <= 127) return isspace(c) != 0;
    return iswspace(static_cast<wint_t>(c)) != 0;
}

void getProcessName(RhString* out) {
    if (!out) return;
    char name[1024];
    strncpy(name, program_invocation_short_name ? program_invocation_short_name : "", sizeof name - 1);
    name[sizeof name - 1] = '\0';
    out->copyFrom(name);
}

namespace {
std::atomic<int> sOutOfMemory(0);
}

void RhReportOutOfMemory(int flag) { sOutOfMemory = flag; }

int RhCheckOutOfMemory() { return sOutOfMemory.load(); }

void RhDumpHeap(const char* label) { (void)label; }

namespace {
int clampToInt(double v) {
    if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(v);
}
}  // namespace

int RhEnumValue(float v) {
    if (v < 0.99) return clampToInt(v * 50 + 0.001);
    // v - 0.99 is not negative here, so adding 50 before truncating is the
    // same as adding it after.
    return clampToInt((v - 0.99) / 0.0000001 + 0.5 + 50);
}

float RhFloatValue(int code) {
    if (code < 50) return static_cast<float>(code) / 50.0f;
    if (code > 100049) return 1.0f;
    return static_cast<float>((code - 50) * 0.0000001 + 0.99);
}

RhOFStream::RhOFStream(const char* filePath) : path(filePath ? filePath : ""), file(nullptr) {}

RhOFStream::~RhOFStream() { closeIt(); }

int RhOFStream::openIt(const char* mode) {
    closeIt();
    file = RhUtils::fopenUnicodeSafe(path.getText(), mode);
    return file ? 1 : 0;
}

void RhOFStream::closeIt() {
    if (!file) return;
    fclose(file);
    file = nullptr;
}
