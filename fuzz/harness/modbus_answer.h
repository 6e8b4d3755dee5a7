#pragma once

#include <memory>
#include <vector>

#include "base/crc.h"
#include "fuzz/harness/check.h"
#include "fuzz/harness/script_connector.h"
#include "protocols/modbus.h"

namespace mtr_fuzz {

// Input: the request (function, parameters, address, buffer size, wake-up,
// header length, chunking), then the meter's bytes for all attempts.
inline void modbusAnswerOne(const uint8_t* data, size_t size) {
  static const char* h = "modbus_answer";
  static const uint8_t kFunctions[] = {3, 4, 16, 17, 43, 20, 3, 0};
  Reader in(data, size);
  uint8_t flags = in.byte();
  bool adi = flags & 1;
  fuzzLogging(flags & 2);
  uint32_t wake = (flags >> 2) & 3;
  uint32_t header_len = 5 + ((flags >> 4) & 7);
  uint8_t function = kFunctions[in.byte() & 7];
  if (function == 0) function = in.byte();
  int count = in.byte() & 15;
  // Exactly `count` values on the heap, so a read past them is caught.
  std::unique_ptr<uint32_t[]> params(new uint32_t[count ? count : 1]);
  for (int i = 0; i < count; ++i) params[i] = in.u16();
  uint8_t address = in.byte();
  uint32_t capacity = (flags & 0x80) ? in.byte() : ModBus::kAnswerSize;
  uint16_t chunk = in.byte();

  auto conn = std::make_shared<ScriptConnector>(in.rest(), in.left(), chunk);
  MeterSettings settings;
  settings.meter_number = 7;
  settings.serial_text = "fuzz";
  settings.settings["net_address"] = std::to_string(address);
  std::unique_ptr<ModBus> m(adi ? new cADIConnector(conn, settings) : new ModBus(conn, settings));
  NullClock clock;
  m->setClock(&clock);
  m->setWakeUp(0xFF, wake);
  m->setHeaderLength(header_len);

  std::unique_ptr<uint8_t[]> answer(new uint8_t[capacity ? capacity : 1]);
  uint32_t answer_len = 0xDEAD;
  bool ok =
      m->SendRequest("fuzz", function, params.get(), count, answer.get(), answer_len, capacity);

  // Whatever was built went out whole and carries a valid CRC.
  if (conn->writes > 0) {
    const uint8_t* req = m->Request();
    uint32_t len = m->RequestLength();
    FUZZ_CHECK(h, len >= wake + 4 && len <= ModBus::kRequestSize);
    FUZZ_CHECK(h, conn->written.size() == static_cast<size_t>(conn->writes) * len);
    for (uint32_t i = 0; i < wake; ++i) FUZZ_CHECK(h, req[i] == 0xFF);
    FUZZ_CHECK(h, req[wake] == address && req[wake + 1] == function);
    uint16_t crc = mtr::crc16_modbus(req + wake, len - wake - 2);
    FUZZ_CHECK(h, req[len - 2] == (crc & 0xFF) && req[len - 1] == (crc >> 8));
    if (function == 3 || function == 4) FUZZ_CHECK(h, len == wake + 8);
    if (function == 20 && adi) FUZZ_CHECK(h, len == wake + 4 + 2 * static_cast<uint32_t>(count));
  }

  if (!ok) {
    FUZZ_CHECK(h, answer_len == 0xDEAD);
    // Three failed attempts, or a request that could not be built at all.
    FUZZ_CHECK(h, conn->writes == 0 || conn->writes == ModBus::kAttempts);
    if (conn->writes == ModBus::kAttempts) FUZZ_CHECK(h, clock.slept_ms == 3 * 1100);
    return;
  }
  int tries = conn->writes;
  FUZZ_CHECK(h, tries >= 1 && tries <= ModBus::kAttempts);
  FUZZ_CHECK(h, clock.slept_ms == tries * 100 + (tries - 1) * 1000);
  FUZZ_CHECK(h, answer_len >= 5 && answer_len <= capacity);
  FUZZ_CHECK(h, answer[0] == address);
  FUZZ_CHECK(h, (answer[1] & 0x7F) == function);
  uint16_t crc = mtr::crc16_modbus(answer.get(), answer_len - 2);
  FUZZ_CHECK(h, answer[answer_len - 2] == (crc & 0xFF) && answer[answer_len - 1] == (crc >> 8));
  if (answer[1] & 0x80) {
    FUZZ_CHECK(h, answer_len == header_len);
    FUZZ_CHECK(h, m->LastError() == static_cast<uint32_t>(function) + answer[2] * 256u);
  } else {
    FUZZ_CHECK(h, m->LastError() == 0);
    if (function == 16)
      FUZZ_CHECK(h, answer_len == 8);
    else
      FUZZ_CHECK(h, answer_len == static_cast<uint32_t>(answer[2]) + 5);
  }
}

}  // namespace mtr_fuzz
