// Every test program that links CoreUtil points the application-support
// folder at a temporary folder of its own before main runs, so that nothing
// a test does (the diagnostic log's folder above all) reaches the real
// user's home. The folder is removed when the program ends.
#pragma once

namespace rhtest {

// The lookup installed at start; tests that replace the lookup put this one
// back instead of restoring the real one.
int hermeticAppSupportLookup(char** out);

}  // namespace rhtest
