// Base64-style encoding of byte strings into text, used to build the names of
// shared-memory segments. The alphabet differs from the usual one in five
// places (no I, O, l, 0 or 1) so that names stay readable; no padding is
// written.
#pragma once

// The 64 characters of the encoding, indexed 0 to 63 (NUL-terminated).
extern const char encodingTable[65];

// Constant table from which the 4-byte scramble key is taken: key byte k is
// the table's byte at position 4k. Server and clients compute segment names
// with it, so its content must never change.
extern const unsigned char gRhScrambleTable[16];

// Number of characters that encoding `length` bytes yields (no terminator);
// 0 for a length of 0 or less.
int base64EncodedLength(int length);

// Encodes `length` bytes of `bytes` into `outText`, writes a NUL after the
// text and stores the number of characters in `outLength`. `outText` must
// hold base64EncodedLength(length) + 1 bytes. With `scramble` non-zero the
// input bytes are first XORed in place with the scramble key, applied
// cyclically (the caller's bytes change). Null bytes or a length of 0 or
// less give the empty text; a null outText writes nothing and gives 0.
void base64EncodeEnc(unsigned char* bytes, int length, char* outText, int& outLength, int scramble);

// base64EncodeEnc with scrambling on.
void base64Encode(unsigned char* bytes, int length, char* outText, int& outLength);
