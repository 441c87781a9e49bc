// The packet-mark and conntrack-mark bits the filter's table and its queue
// agree on. Both fields use bits 24-27 only, so other users of the marks keep
// the rest.
#pragma once

#include <cstdint>

namespace hushwall::filter::marks {

// Packet mark: set by the table on a packet that wants a verdict, cleared by
// the verdict, which writes one of the verdict values instead.
inline constexpr std::uint32_t field = 0x0f000000;
inline constexpr std::uint32_t wantsVerdict = 0x08000000;
inline constexpr std::uint32_t allowFlow = 0x01000000;
inline constexpr std::uint32_t blockFlow = 0x02000000;
inline constexpr std::uint32_t refusePacket = 0x03000000;  // this packet only; the flow stays undecided

// Conntrack mark: the flow's verdict (allowFlow or blockFlow) and the table
// generation that made it, so a new rule set judges older flows again.
[[nodiscard]] constexpr std::uint32_t decided(std::uint32_t verdict, unsigned generation) {
  return verdict | ((generation & 3u) << 26);
}
// The bits of the mark that hold the generation.
inline constexpr std::uint32_t generationBits = decided(0, 3);

}  // namespace hushwall::filter::marks
