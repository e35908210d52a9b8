// TEST BUILDS ONLY: a stand-in for the disk reader, linked into the test
// server QuilloranticsServerTestLoader and never into the shipped server.
#pragma once

// Makes the server's disk-reader start submit the stand-in loader: each
// queued file becomes, without being read, one zero-filled channel segment
// of min(requested frames, kStandInMaxFrames) frames, made through the real
// segment code, and the entry is finished; when none is queued any more,
// every client gets the loading-finished notice. Call before the server is
// constructed.
void installStandInLoader();

constexpr int kStandInMaxFrames = 4096;
