#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/harness/check.h"
#include "fuzz/harness/script_connector.h"
#include "protocols/iec61107.h"

namespace mtr_fuzz {

// Whatever the meter sends, the answer stays in the caller's buffer, is what
// came after any leading NAKs, and ends in a zero byte. Input: flags (bit 0
// framed, 1 verbose, 2 large buffer), size, expected length, chunking, line bytes.
inline void iec61107AnswerOne(const uint8_t* data, size_t size) {
  static const char* h = "iec61107_answer";
  Reader in(data, size);
  uint8_t flags = in.byte();
  bool framed = flags & 1;
  fuzzLogging(flags & 2);
  uint16_t capacity = (flags & 4) ? 6000 : static_cast<uint16_t>(2 + in.byte());
  uint16_t want = in.u16();
  int32_t expected = 1 + want % capacity;  // callers ask for less than their buffer holds
  uint16_t chunk = in.byte();
  const uint8_t* line_bytes = in.rest();
  size_t line_len = in.left();
  auto line = std::make_shared<ScriptConnector>(line_bytes, line_len, chunk);

  Gost61107Settings settings;
  settings.id = 61107;
  settings.name = "fuzz";
  NullClock clock;
  CGost61107Connector conn(line, settings, capacity, &clock);
  // Exactly `capacity` bytes on the heap, so a write past them is caught.
  // MTR_FUZZ_IEC_SLACK=N adds N bytes that nobody checks: a way to keep
  // fuzzing the rest while a known overrun of at most N bytes awaits its fix.
  static const size_t slack = getenv("MTR_FUZZ_IEC_SLACK") ? atoi(getenv("MTR_FUZZ_IEC_SLACK")) : 0;
  std::unique_ptr<uint8_t[]> answer(new uint8_t[capacity + slack]);
  static const uint8_t kRequest[] = {iec61107::SOH, 'R', '1', iec61107::STX, 'E', 'T', '0', 'P',
                                     'E',           '(', ')', iec61107::ETX, 0x37};
  int32_t len = expected;
  bool ok = conn.SendRequest(kRequest, sizeof kRequest, answer.get(), len, framed);
  FUZZ_CHECK(h, line->written.size() == sizeof kRequest);
  if (!ok) return;
  if (len == -1) return;
  FUZZ_CHECK(h, len >= 1 && len < capacity);
  if (len < 1 || len >= capacity) return;
  FUZZ_CHECK(h, answer[len] == 0);
  size_t skip = 0;
  while (skip < line_len && line_bytes[skip] == iec61107::NAK) ++skip;
  FUZZ_CHECK(h, skip + len <= line_len);
  if (skip + len <= line_len)
    FUZZ_CHECK(h, memcmp(answer.get(), line_bytes + skip, static_cast<size_t>(len)) == 0);
  if (!framed) FUZZ_CHECK(h, len <= expected);
}

}  // namespace mtr_fuzz
