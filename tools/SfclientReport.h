// What `sfclient load` shows once the load is over, and `sfclient info`:
// the files as the server holds them (attached from its segments) and as the
// sample-file readers see them locally.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sfclient {

// Prints the table of loaded files (channels, frames, peak level, segment
// names) and, after it, the files that did not load with the reason found by
// opening each locally. Returns the number of files that did not load.
int printLoadReport(const std::vector<std::string>& paths, FILE* out);

// The reason a file that the server did not load failed, in a sentence.
std::string localFailureReason(const std::string& path);

// Prints what the readers see in each file; returns the number of files
// that could not be opened.
int printFileInfo(const std::vector<std::string>& paths, FILE* out);

// Prints the value of frame `frame` in every channel of `path` as the
// server holds it (attached from its segments), one line per channel, with
// 9 significant digits. Returns 0, or 1 when the file is not held or the
// frame lies past its end.
int printSamples(const std::string& path, int32_t frame, FILE* out);

// Draws or prints the load progress: on a terminal a bar redrawn in place
// (files done of total), otherwise a plain line for each change.
class ProgressDisplay {
public:
    ProgressDisplay(FILE* out, size_t total);
    // Shows `remaining` files still loading (only when it changed).
    void show(int remaining);
    // Ends a bar's line.
    void finish();

private:
    FILE* out_;
    size_t total_;
    bool terminal_;
    int shown_ = -1;
    bool barDrawn_ = false;
};

}  // namespace sfclient
