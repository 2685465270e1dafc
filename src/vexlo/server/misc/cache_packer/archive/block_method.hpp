#pragma once

#include <iterator>
#include <optional>
#include <string_view>

namespace vexlo::archive {

// The ways one block of the stream can be coded: the one list that the effort
// rule's rows choose from (block_effort.cpp), the compressor dispatches on
// (BlockDeflate::compress), the statistics count by and the drivers and benches
// name. A new method is an entry here, a case in that dispatch and a row of the
// rule's table.
// clang-format off
#define VEXLO_BLOCK_METHODS(method)                                                          \
  method(literals)      /* fitted Huffman codes or stored, no matcher (LiteralDeflate) */    \
  method(low)           /* libdeflate at EffortRule::kLowLevel */                            \
  method(high)          /* libdeflate at EffortRule::kHighLevel, or at a fixed level */      \
  method(near_optimal)  /* libdeflate at EffortRule::kNearOptimalLevel, for short matches */ \
  method(zlib)          /* zlib at EffortRule::kZlibLevel, primed with the 32 KiB before */  \
  method(words)         /* chains keyed on 8-byte words, for small integers (WordDeflate) */
// clang-format on

enum class BlockMethod {
#define VEXLO_BLOCK_METHOD_ENTRY(name) name,
  VEXLO_BLOCK_METHODS(VEXLO_BLOCK_METHOD_ENTRY)
#undef VEXLO_BLOCK_METHOD_ENTRY
};

// The methods' names, in the list's order.
inline constexpr const char* kBlockMethodNames[] = {
#define VEXLO_BLOCK_METHOD_NAME(name) #name,
    VEXLO_BLOCK_METHODS(VEXLO_BLOCK_METHOD_NAME)
#undef VEXLO_BLOCK_METHOD_NAME
};
inline constexpr int kBlockMethods = static_cast<int>(std::size(kBlockMethodNames));

inline const char* method_name(BlockMethod method) {
  return kBlockMethodNames[static_cast<int>(method)];
}

// The method called `name`, if any.
inline std::optional<BlockMethod> method_named(std::string_view name) {
  for (int m = 0; m < kBlockMethods; ++m) {
    if (name == kBlockMethodNames[m]) {
      return static_cast<BlockMethod>(m);
    }
  }
  return std::nullopt;
}

}  // namespace vexlo::archive
