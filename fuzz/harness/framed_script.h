#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "fuzz/harness/script_connector.h"

namespace mtr_fuzz {

// What the meter sends, built from the rest of the fuzz input as a run of
// frames: [control][length][bytes]. Random bytes almost never carry a right
// length field or checksum, so the control byte may ask for them to be put
// in (bit 0: the length field, bit 1: the checksum), leaving the parsers
// behind those checks within the fuzzer's reach. Bit 6 makes the meter fall
// silent after the frame (a gap: the read then waiting times out), bit 7
// sends the frame twice (a repeated answer).
struct FrameFixer {
  int length_offset = -1;  // where the frame's own length byte sits, or -1
  // Writes the checksum into the last bytes of the frame.
  std::function<void(std::vector<uint8_t>&)> checksum;
};

struct Script {
  std::vector<uint8_t> bytes;
  std::vector<size_t> gaps;    // positions in `bytes` where the line goes quiet
  std::vector<size_t> bursts;  // where each frame (each arrival) ends
};

inline Script framedScript(Reader& in, const FrameFixer& fix) {
  Script script;
  std::vector<uint8_t>& out = script.bytes;
  while (in.left() > 0) {
    uint8_t control = in.byte();
    size_t len = in.byte();
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < len && in.left() > 0; ++i) frame.push_back(in.byte());
    if ((control & 1) && fix.length_offset >= 0 &&
        frame.size() > static_cast<size_t>(fix.length_offset))
      frame[fix.length_offset] = static_cast<uint8_t>(frame.size());
    if ((control & 2) && fix.checksum) fix.checksum(frame);
    out.insert(out.end(), frame.begin(), frame.end());
    script.bursts.push_back(out.size());
    if (control & 0x80) {
      out.insert(out.end(), frame.begin(), frame.end());
      script.bursts.push_back(out.size());
    }
    if (control & 0x40) script.gaps.push_back(out.size());
  }
  return script;
}

}  // namespace mtr_fuzz
