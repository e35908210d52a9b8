// The version of the server and its tools, as `--version` prints it and the
// status document reports it.
#pragma once

constexpr const char* kQuilloranticsVersion = "0.1.0";
