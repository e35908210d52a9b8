// RhIFStream: the one way the system reads files.
//
// Given a path, the stream opens either the plain file of that name or, when
// the path names a member of an archive container (RhFileSystem), the
// container file, and then presents the member's byte range (its window) as
// a file of its own: positions count from the member's first byte, the
// member's end is the end of the stream, and reads never go past it. Before
// opening, the constructors follow symlink files.
//
// Symlink file: a file (plain or member) whose whole content is
//   <SYMLINK target="T" />
// (no line feed), T a relative path beginning with "../". T is resolved
// against the link's own path as if that were a folder: the first "../"
// steps from the link's name to the folder that holds it. Chains of links are
// followed up to kMaxSymlinkChain links; a longer chain (a loop) opens
// nothing.
//
// The stream reads through a descriptor with pread at a position of its own
// (no stdio buffer), through the replaceable system-call table of the
// platform layer, so that tests can make any of its calls fail. A read
// interrupted by a signal is retried; a short read delivers what came. A
// file that shrinks while it is read simply ends early: bytes are copied,
// never mapped, so nothing can fault.
//
// A stream belongs to one thread; many streams on members of one container
// may be open at once, each with its own descriptor.
#pragma once

#include "RhPath.h"
#include "RhString.h"

// The reading interface the sample-file readers take.
class RhIFStreamAPI {
public:
    virtual ~RhIFStreamAPI();
    // Reads up to count bytes into buffer; returns the number delivered.
    virtual int read(void* buffer, unsigned int count) = 0;
    // The position in the stream; -1 when it is closed.
    virtual long long tellg() = 0;
    // Moves the position: whence 0 from the start, 1 from the current
    // position, 2 from the end. 0 on success, -1 on failure or when closed.
    virtual int seekg(int offset, int whence) = 0;
    // 1 while a file is open, else 0.
    virtual int good() = 0;
    // Closes the file; reopen() can open it again.
    virtual void close() = 0;
    // Opens the same file again at position 0 when closed; returns good().
    virtual int reopen() = 0;
    // Where the stream's bytes lie on disk: the file and the offset of
    // position 0 in it. The base does nothing.
    virtual void getLowLevelDiskFileInfo(RhPath* file, unsigned long long* offset);
};

class RhIFStream : public RhIFStreamAPI {
public:
    // Longest chain of symlink files followed.
    static const int kMaxSymlinkChain = 32;

    // Empty or null path: a closed stream. Otherwise follows symlink files,
    // then opens the result (mode is accepted and not used).
    RhIFStream(const char* path, int mode);
    // followLinks 1: as above. 0 or 2: opens path unchanged.
    RhIFStream(const char* path, int mode, int followLinks);
    // Closes the file.
    ~RhIFStream() override;
    RhIFStream(const RhIFStream&) = delete;
    RhIFStream& operator=(const RhIFStream&) = delete;

    // Closes any open file, then opens path: a container member (its
    // container file, positioned at the member's first byte, with read-ahead
    // advice: sequential, or random when randomAccess is non-zero) or else
    // the plain file. Only a regular file is opened: a FIFO, device or
    // folder (also as a symlink file's target) leaves the stream closed, as
    // a missing file does, and never blocks. Test good() for the outcome.
    // Returns 1.
    int openIt(const char* path, int mode, int randomAccess);

    int good() override;
    // Bytes delivered by the last read or getline; 0 when closed.
    int prevReadCount() const;
    // Reads up to n bytes, never past the member's end; nothing at or past
    // it, or before its start. The count delivered is kept for
    // prevReadCount() and returned.
    int read(void* buffer, unsigned int n) override;
    // Reads one line of at most n - 1 characters (never past the member's
    // end) into buffer, NUL-terminated. Returns the characters read, line
    // feed included; a final line feed is replaced by the terminator. 0 at
    // the end (buffer empty).
    int getline(char* buffer, unsigned int n);
    // For a member: the file position minus the member's offset.
    long long tellg() override;
    // For a member, positions count from its first byte and whence 2 from
    // its end; the position is not clipped to the member (reads outside it
    // deliver nothing). Other whence values count from the start.
    int seekg(int offset, int whence) override;
    // Closes the file; path, offset, size and inArchive stay for reopen().
    void close() override;
    int reopen() override;
    // file = the file actually opened (the container for a member),
    // *offset = the member's offset in it (0 for a plain file).
    void getLowLevelDiskFileInfo(RhPath* file, unsigned long long* offset) override;
    // out = the whole stream as text without its line feeds. 1 on success,
    // 0 when the stream is closed or empty (out unchanged then).
    int readEntireFileIntoString(RhString* out);

    // The file actually opened and where the stream's bytes start in it.
    const RhPath& getPath() const { return path; }
    unsigned long long getOffset() const { return offset; }
    // The member's size (meaningful only for a member).
    unsigned int getSize() const { return size; }
    int isInArchive() const { return inArchive; }

    // ---- Symlink files ----

    // 1 when the file at path is a symlink file: target receives the path it
    // names (the link's folder + T without its first ".."), relative (when
    // not null) the stored T. 0 for anything else.
    static int isSymlink(const RhString* path, RhString* target, RhString* relative);
    // out = path with every symlink file followed (".." leaving a container
    // resolved after each step). 1 on success; 0, with out empty, when the
    // chain is longer than kMaxSymlinkChain.
    static int unwind(const RhString* path, RhString* out);
    // Writes a symlink file at linkPath naming targetPath (first followed
    // through its own links when followTarget is non-zero), as a path
    // relative to the link. 1 on success, 0 when it cannot be written
    // (nothing is left behind then).
    static int symlink(const char* linkPath, const char* targetPath, int followTarget);
    // Writes a symlink file at linkPath storing relativeTarget as it is.
    // 1 on success, 0 when it cannot be written.
    static int symlinkRelative(const char* linkPath, const RhString* relativeTarget);
    // out = in with ".." components applied: "/" + the remaining components
    // joined by "/" (the empty text when none remain; "." components are
    // kept). A ".." with nothing left to remove leaves out = in.
    static void removeDotDots(const RhString* in, RhString* out);

private:
    // Bytes getline reads ahead at a time.
    static const unsigned kLineBufferBytes = 4096;

    int followLinksAndOpen(const char* path, int mode);
    // Opens path for reading when it is a regular file: the descriptor, or -1.
    static int openRegularFile(const char* path);
    // Read-ahead advice for a member window.
    void adviseReadAhead(int randomAccess);
    // pread at `at`, retried when interrupted; the bytes delivered (0 on failure).
    unsigned int readAt(void* buffer, unsigned int n, long long at);
    void dropLineBuffer();

    int count;                   // bytes delivered by the last read or getline
    unsigned int size;           // the member's size (members only)
    int fd;                      // owned; -1 when closed
    long long position;          // where the next read starts, in the file actually opened
    char* lineBuffer;            // getline's read-ahead (kLineBufferBytes), made on first use
    long long lineBufferStart;   // file position of lineBuffer[0]
    unsigned int lineBufferLength;  // bytes valid in lineBuffer
    RhPath path;                 // the file actually opened
    unsigned long long offset;   // the member's first byte in the container; 0 for a plain file
    int inArchive;               // non-zero for a container member
};
