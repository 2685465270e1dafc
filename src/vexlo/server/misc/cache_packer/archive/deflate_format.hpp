#pragma once

// Facts of the deflate format that the literal coder writes and the joint's
// walk reads back: one copy, so the writer and the reader cannot drift apart.

namespace vexlo::archive {

// Block types, the two bits after the final-block bit; 3 is reserved.
enum DeflateBlockType : unsigned { kStoredBlock = 0, kFixedBlock = 1, kDynamicBlock = 2 };

// The literal/length symbol that ends a Huffman block.
constexpr unsigned kEndOfBlock = 256;

// Longest Huffman code of the literal/length and distance alphabets, and of
// the code-length alphabet (its lengths are sent in 3 bits).
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxCodeLengthCodeBits = 7;

// A dynamic block's header sends its code counts less these minimums: 5 bits
// for the literal/length codes, 5 for the distance codes, 4 for the
// code-length codes.
constexpr unsigned kMinLitlenCodes = 257;
constexpr unsigned kMinDistCodes = 1;
constexpr unsigned kMinCodeLengthCodes = 4;

// The code-length alphabet: lengths 0..15, then 16 (repeat the previous
// length 3-6 times), 17 (3-10 zeros) and 18 (11-138 zeros), whose extra bits
// give the count. Its code lengths are sent in this order, so that a header
// can leave off the rarely used ones at the end.
constexpr unsigned kCodeLengthSymbols = 19;
enum CodeLengthRepeat : unsigned char { kRepeatPrevious = 16, kRepeatZeros = 17, kRepeatManyZeros = 18 };
inline constexpr unsigned char kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
inline constexpr unsigned char kCodeLengthExtraBits[kCodeLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                           0, 0, 0, 0, 0, 0, 2, 3, 7};

// Huffman codes are packed from their most significant bit, into a stream
// read least significant bit first: a canonical code is written and looked up
// reversed.
constexpr unsigned reverse_code(unsigned code, unsigned len) {
  unsigned reversed = 0;
  for (unsigned i = 0; i < len; ++i, code >>= 1) {
    reversed = (reversed << 1) | (code & 1);
  }
  return reversed;
}

}  // namespace vexlo::archive
