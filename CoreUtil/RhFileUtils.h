// Opening files and locating the folders the system keeps its files in:
// the executable, its resources folder and the user's application-support
// folder. The path operations (RhPath) are built on these.
#pragma once

#include <cstddef>
#include <cstdio>

namespace RhUtils {

// Opens path (UTF-8, passed through unchanged) with the standard fopen and
// mode. Every file the file-system layer opens goes through here. Null path
// or mode: null.
FILE* fopenUnicodeSafe(const char* path, const char* mode);

// Opens path for reading ("rb") only when it names a regular file (a
// symbolic link to one included). The open does not block, so a FIFO with no
// writer cannot stall the caller; FIFOs, devices, sockets and folders give
// null, as a missing file does. The returned stream blocks as usual.
FILE* fopenRegularFileForReading(const char* path);

}  // namespace RhUtils

// Copies into out (outSize bytes) the absolute path of the executable image
// that contains this function. Returns 1 on success; 0 (out empty when
// outSize > 0) when the image cannot be found or its path does not fit.
int RhPathToExecutable(char* out, size_t outSize);

// The executable's folder followed by "/../Resources" (the resources folder
// seen from the executable's folder), in out. Returns 1 on success, 0 (out
// empty when outSize > 0) as RhPathToExecutable does or when it does not fit.
int RhPathToResourcesFolder(char* out, size_t outSize);

// The user's application-support folder: the last two components of the
// per-user data folder ($XDG_DATA_HOME when it is an absolute path, else
// ~/.local/share) placed under the user's real home folder (the password
// database entry, $HOME only when there is none). So normally
// "<home>/.local/share". A data folder with fewer than two components is
// used as it is.
// *out receives a malloc'ed text that the caller frees. Returns non-zero on
// success; on failure (no data folder can be named) *out is left untouched.
int RhCU_GetApplicationSupportPath(char** out);
