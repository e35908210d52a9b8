// Where the message ports of one user live: a folder closed to others,
// and the mapping from a port name to a socket path inside it.
#pragma once

#include <string>

namespace platform {

// The per-user port folder: $XDG_RUNTIME_DIR/Quillorantics when that variable
// names an absolute folder owned by the user, else /tmp/Quillorantics-<uid>.
// Made 0700 when missing. Returns false (and a sentence in *why) when the
// folder is not a real folder (symlinks are not followed), not owned by the
// user, or open to others.
bool portFolder(std::string* folder, std::string* why = nullptr);

// Like portFolder, and opens the checked folder: returns a descriptor of it
// (read-only, close-on-exec; the caller closes it) or -1. Work relative to the
// descriptor (openat, unlinkat) touches the folder that was checked even if
// the path is changed afterwards.
int openPortFolder(std::string* folder, std::string* why = nullptr);

// An identity of the port folder, for names that must differ between port
// folders (the shared-memory objects of servers): the first 16 lower-case hex
// digits of the SHA-256 digest of the folder's canonical path (symlinks
// resolved, as the kernel names the opened folder). Empty (and a sentence in
// *why) when the folder is refused, as by openPortFolder.
std::string portFolderIdentity(std::string* why = nullptr);

// The file stem in the port folder for a port name: the name itself when it
// is a safe file name (letters, digits, '.', '_', '-', not starting with '.',
// at most 64 bytes), otherwise "h-" and the 64 lower-case hex digits of the
// SHA-256 digest of the name's bytes. Distinct names give distinct stems: a
// digest stem is 66 bytes long, longer than any name that is used as it is.
// Empty (no usable stem) only when the digest cannot be computed.
std::string portFileStem(const std::string& name);

}  // namespace platform
