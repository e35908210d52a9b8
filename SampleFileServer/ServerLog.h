// ServerLog: where the server's standard output and error go when a client
// started it detached: a log file in the user's state folder, kept within a
// size bound by moving a full file aside (one older file is kept).
//
//   $XDG_STATE_HOME/Quillorantics/QuilloranticsServer.log   (XDG_STATE_HOME absolute)
//   ~/.local/state/Quillorantics/QuilloranticsServer.log    (otherwise)
//
// The older file is the same path with ".1" appended, so the two together
// never take more than twice the bound.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>

// One log file that never grows past its bound: a write that would take it
// past the bound first moves the file to "<path>.1" (replacing the older one)
// and starts a new file. Safe to use from several threads.
class BoundedLogFile {
public:
    BoundedLogFile(std::string path, off_t capBytes);
    ~BoundedLogFile();
    BoundedLogFile(const BoundedLogFile&) = delete;
    BoundedLogFile& operator=(const BoundedLogFile&) = delete;

    // Opens (creates, mode 0600) the file for appending; a file already at
    // its bound is moved aside first. Refuses anything but a regular file of
    // the user's own (a symlink included). 1, or 0 with a reason in *why.
    int open(std::string* why);
    // Appends data (at most the bound; a longer block keeps its end).
    // Returns 1 when all of it was written.
    int write(const char* data, size_t length);
    // The descriptor of the current file, -1 when not open. It changes when
    // the file is moved aside; onReopen (when set) then gets the new one.
    int descriptor() const { return fd_; }
    void setReopenHook(void (*onReopen)(int newFd)) { onReopen_ = onReopen; }

    const std::string& path() const { return path_; }
    off_t capBytes() const { return cap_; }

private:
    int openFile(std::string* why);
    void moveAside();

    std::string path_;
    off_t cap_;
    int fd_ = -1;
    void (*onReopen_)(int) = nullptr;
    std::mutex mutex_;
};

class ServerLog {
public:
    static constexpr const char* kFolderName = "Quillorantics";
    static constexpr const char* kLogFileName = "QuilloranticsServer.log";
    // Bound of one log file.
    static constexpr off_t kCapBytes = 1 << 20;

    // The folder of the log: "$XDG_STATE_HOME/Quillorantics" when the
    // variable holds an absolute path, else "<home>/.local/state/Quillorantics"
    // with home from $HOME (the password database when unset). Empty when
    // no home is known.
    static std::string folder();

    // Sends this process's standard output and error (the stdio streams and
    // descriptors 1 and 2) into the log file in `folder`, made with its
    // parents (mode 0700) when missing, and writes a first line naming the
    // process. Returns 1, or 0 with a reason in *why: output then stays
    // where it was.
    static int redirectOutput(const std::string& folder, off_t capBytes, std::string* why);
};
