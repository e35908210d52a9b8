// Force-included into every source of the client library. The segment code
// that the library shares with the server writes its diagnostic lines to
// standard output; inside a host that output is not ours. Here "stdout"
// names a stream whose lines go to the log callback instead
// (ClientDiagnostics.cpp), and printf writes to that stream.
#pragma once

#include <cstdio>

extern "C++" FILE* rhClientDiagnosticStream();

#undef stdout
#define stdout (rhClientDiagnosticStream())
#define printf(...) fprintf(stdout, __VA_ARGS__)
#define vprintf(format, args) vfprintf(stdout, format, args)
#define putchar(c) fputc((c), stdout)
