// Every test program, and every test build of the server and of sfclient,
// points the application-support folder at a temporary folder before main
// runs, so that nothing a test does (the diagnostic log's folder above all)
// reaches the real user's home. A test program makes the folder and removes
// it when it ends; the servers it starts inherit it. XDG_STATE_HOME points
// into the same folder, so that the log of a server started detached stays
// there too.
#pragma once

namespace rhtest {

// The lookup installed at start; tests that replace the lookup put this one
// back instead of restoring the real one.
int hermeticAppSupportLookup(char** out);

}  // namespace rhtest
