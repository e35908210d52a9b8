// Small system helpers used across the foundation: sleeping, page size, file
// removal, thread and process identity, version texts, the process-wide
// out-of-memory flag, parameter codes and a minimal output file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "RhFileUtils.h"
#include "RhString.h"

// Sleeps for the given microseconds (usleep); nothing for 0 or less.
void RhUSleep(int microseconds);
// The memory page size.
int RhPageSize();
// unlink / rmdir of path; the system call's result (-1 for a null path).
int RhRmfile(const char* path);
int RhRmdir(const char* path);

namespace RhUtils {

// The system's numeric identifier of the calling thread.
uint64_t getCurrentThreadID();
// Splits the first 128 characters of text at "." (empty fields dropped) and
// reads up to six fields with atoi; the first three go to the outputs that
// are not null. A missing field gives 999 (a null text gives 999, 999, 999).
void extractVersionNumbers(const RhString* text, int* major, int* minor, int* patch);
// isspace for 0..127; above, the locale's white-space class of the code
// point; negative values are not white space.
bool isspaceUnicodeSafe(const int& c);

}  // namespace RhUtils

// out = the running process's name (at most 1023 bytes); null out: nothing.
void getProcessName(RhString* out);

// The process-wide out-of-memory flag: store and read back.
void RhReportOutOfMemory(int flag);
int RhCheckOutOfMemory();
// Does nothing.
void RhDumpHeap(const char* label);

// Parameter value to integer code: below 0.99, int(v * 50 + 0.001) (0 to 49
// for 0 <= v < 0.99); from 0.99 on, int((v - 0.99) / 0.0000001 + 0.5) + 50.
// Results beyond the int range are clamped.
int RhEnumValue(float v);
// The inverse: below 50, code / 50; above 100049, 1.0; otherwise
// (code - 50) * 0.0000001 + 0.99.
float RhFloatValue(int code);

// An output file opened on demand.
class RhOFStream {
public:
    // Copies path (null: the empty path); nothing is opened yet.
    explicit RhOFStream(const char* path);
    // Closes the file when still open.
    virtual ~RhOFStream();
    RhOFStream(const RhOFStream&) = delete;
    RhOFStream& operator=(const RhOFStream&) = delete;

    // Opens the path with mode (RhUtils::fopenUnicodeSafe), closing a file
    // opened before. 1 on success, else 0.
    int openIt(const char* mode);
    // Closes the file and marks it closed; nothing when it is not open.
    void closeIt();
    bool isOpen() const { return file != nullptr; }
    // The open stream, or null.
    FILE* getFile() const { return file; }
    const char* getPath() const { return path.getText(); }

private:
    RhString path;
    FILE* file;
};
