// TEST BUILDS ONLY: stalls of the loading pipeline chosen by the test through
// the environment of the server it starts.
//   RH_TEST_STALL_STAGE    0: before a file is opened (a read that hangs, as
//                          on a dead network or FUSE mount); 1: before its
//                          conversion begins (a file still converting)
//   RH_TEST_STALL_MATCH    stall only files whose path contains this text
//   RH_TEST_STALL_RELEASE  the stall ends once this file exists (without
//                          it the stall never ends)
#pragma once

void installStageHooks();
