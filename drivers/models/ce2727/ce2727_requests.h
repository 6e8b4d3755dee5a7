#pragma once

// Requests of the CE2727 / CE2727A binary protocol and the layouts of their
// answers, byte by byte, as the meter sends them.
//
// Request frame (multi-byte fields little-endian):
//   0      0x02
//   1      total frame length, CRC included
//   2..5   device address (the configured net address)
//   6..9   password value
//   10     0x01
//   11     command
//   12..   command parameters (0..5 bytes, below)
//   end-2  CRC-16/X-25 of all preceding bytes, low byte first
//
// Answer frame:
//   0      0x02
//   1      total frame length, CRC included
//   2..5   the meter's own address
//   6..9   zero, or the password echoed (not read)
//   10     0x01 as in the request, or 0x00 (meters differ; an answer with
//          data is good whatever this byte holds); in an answer without data,
//          the reason (below)
//   11     the command, echoed
//   12..   data (offsets below count from here, "data byte 0")
//   end-2  CRC-16/X-25 of all preceding bytes, low byte first
// An answer without data is 14 bytes, header and CRC: the meter's "no", with
// its reason at byte 10: 1 access denied (wrong password), 2 unknown command,
// 3 wrong parameters, 4 no record for the requested date or index, 5 the
// requested date lies past the newest record. How it is read:
//   - to an archive request (15, 13, 17): reason 4 is a date the meter does
//     not hold, and the walk goes on to the next date; any other reason ends
//     the walk (the end of the archive). Never a failed read: a wrong password
//     has already failed the current values of the same session.
//   - to a journal request (11): any reason ends that journal.
//   - to any other request: reason 1 is a refusal, a failed read; any other
//     reason (a command this meter lacks) costs that request's values only.
// Only a 14-byte answer is read so: one as long as the table below says is
// always taken for data, so 0x01 at byte 10 is never read as "access denied".
// Variants read: byte 10 of an answer with data 0x00 or 0x01 (or anything
// else); bytes 6..9 zero or the password; a daily or monthly answer's own date
// bytes give its record's date, whatever date was asked; the profile's byte 1
// (the period) is not read.
// A meter keeps silent on a frame with a bad CRC or another address.
//
// Unreadable values: a value the parser cannot read (a date that is not a
// date, an archive answer shorter than its field list, a field type the list
// does not know) costs that value (for an archive or profile answer, that
// whole answer; for a journal, that record), never the session; it is logged
// at Warning once a session with the answer's bytes. A failed read is only: no
// answer, a short answer, a bad CRC, an answer from another address or to
// another command, and a refusal (reason 1).
//
// BCD below: one byte, two decimal digits (0x24 is 24). Dates are the meter's
// local time. "u16"/"u32"/"s16"/"s32": little-endian integers.
//
// cmd 0  "SystemInfo", request 14 bytes, answer 54 bytes (40 data bytes):
//   0 firmware minor, 1 firmware major ("FirmWare" is "%X.%02X" of 1 and 0),
//   2-3 u16 error1, 4-5 u16 error2, 6-7 u16 error3, 8-9 u16 state&diagnostic,
//   10-11 zero, 12-15 u32 serial number, 16-19 u32 network address,
//   20-35 zero, 36 version electric, 37 version parametrisation, 38 status,
//   39 zero.
// cmd 21 "SystemInfo", request 14 bytes, answer 64 bytes (50 data bytes):
//   0 day, 1 month, 2 year - 2000 of manufacture (BCD); 3-49 zero.
// cmd 1  "DateTime", request 14 bytes, answer 23 bytes (9 data bytes):
//   0 second, 1 minute, 2 hour, 3 weekday 1-7, 4 day, 5 month,
//   6 year - 2000 (all BCD), 7 summer-time flag (not read), 8 zero.
// cmd 3  "CurrNrg", request 14 bytes, answer 35 bytes (21 data bytes):
//   0 current tariff 1-4, 1-4 u32 active energy A+ of all tariffs in Wh,
//   5-8 tariff 1, 9-12 tariff 2, 13-16 tariff 3, 17-20 tariff 4.
// cmd 23 "CurrPwr", request 14 bytes, answer 30 bytes (16 data bytes):
//   0-3 s32 active power of all phases in W, 4-7 phase A, 8-11 phase B,
//   12-15 phase C.
// cmd 27 "CurrenrState" (CE2727A only), request 16 bytes with the parameter
//   bytes 00 00, answer 92 bytes (78 data bytes):
//   0-3, 4-7, 8-11 u32 voltages of phases A, B, C in 0.01 V;
//   12-15, 16-19, 20-23 u32 currents of phases A, B, C in mA;
//   24-27 s32 reactive power of all phases in var, 28-31, 32-35, 36-39
//   phases A, B, C; 40-41 s16 power factor in 0.001, 42-43, 44-45, 46-47
//   phases A, B, C; 48-49 u16 frequency in 0.01 Hz; 50-53 u32 active energy
//   A- in Wh; 54-57 u32 reactive energy R+ in varh; 58-61 u32 R- in varh;
//   62-77 zero.
// cmd 15 "Daily", request 17 bytes with the parameter bytes day, month,
//   year - 2000 (BCD), answer 37 bytes (23 data bytes):
//   0 day, 1 month, 2 year - 2000 (BCD, the requested day), 3-6 u32 A+ of
//   all tariffs in Wh at the end of that day, 7-10 tariff 1, 11-14 tariff 2,
//   15-18 tariff 3, 19-22 tariff 4. A day not yet over, or after the meter's
//   today, is answered without data, reason 5; a day before the oldest kept,
//   reason 4.
// cmd 13 "Monthly"/"Yearly", request 16 bytes with the parameter bytes month,
//   year - 2000 (BCD), answer 36 bytes (22 data bytes):
//   0 month, 1 year - 2000 (BCD, the requested month), 2-5 u32 A+ of all
//   tariffs in Wh at the end of that month, 6-9 tariff 1, 10-13 tariff 2,
//   14-17 tariff 3, 18-21 tariff 4. The current or a later month is answered
//   without data, reason 5; a month before the oldest kept, reason 4.
//   "Yearly" asks for month 12 of each year: the counters at the end of the
//   year.
// cmd 17 "Profile", request 19 bytes with the parameter bytes half-day
//   (0: 00:00-11:30, 1: 12:00-23:30), 0, day, month, year - 2000 (BCD),
//   answer 91 bytes (77 data bytes):
//   0 half-day (BCD), 1 averaging period in minutes (30, not read),
//   2 day, 3 month, 4 year - 2000 (BCD), then 24 slots of 3 bytes from data
//   byte 5, one per half hour from the half-day start: a status byte (1 the
//   slot holds a complete value; anything else, no value) and u16 mean active
//   power of that half hour in W; a half hour not yet over has status 0.
//   A half-day that has not begun is answered without data, reason 5; one
//   older than the profile memory, reason 4.
// cmd 11 "Events", request 16 bytes with the parameter bytes journal number,
//   record index (0 the newest record), answer 12 + 2 + record size + 2 bytes:
//   0 journal number, 1 record index, then the record. A record index past
//   the oldest record is answered without data, reason 4. The driver reads
//   each journal from index 0 until an answer without data, a record wholly
//   before the window it reads, or kJournalMaxRecords records. Date-time
//   fields (6 bytes) are second, minute, hour, day, month, year - 2000 in
//   BCD; all six zero means "not set" (power still off, cover still open).
//   Records:
//     journal 0 "EvtOnOff" (14 bytes): DateOff, DateOn, CodeOn (1 byte: cause
//       of the power-on), reserv (1)
//     journal 1 "EvtCorrectionTime" (10): Time (when), Correction (s16,
//       seconds the clock moved), Interface (1 byte), reserv (1)
//     journal 2 "EvtDateTime" (14): TimeOld (clock before), TimeNew (clock
//       after), Interface (1), reserv (1)
//     journal 3 "EvtOpenCase" (12): TimeOpen, TimeStop (closed again)
//     journal 5 "EvtDropVoltage" (16): TimeStart, TimeStop, Phase (1 byte,
//       1-3), minVoltage (u16, 0.01 V), percentDrop (1 byte)
//     journal 6 "EvtOverVoltage" (16): TimeStart, TimeStop, Phase (1),
//       reserv (3)
//     journal 9 "EvtTariff" (12): Date (when the tariff program changed),
//       Service (1), Interface (1), WA (u32, A+ in Wh at that moment)
//     journal 10 "EvtOpenClemma" (12): TimeOpen, TimeStop
//   Every set date-time field marked as an event time below becomes one event
//   record "A242" (group 6, index 69) whose value is 1 << (the event's position
//   in kEventNames): EvtOpenCase 1, EvtOnOff 2, EvtCorrectionTime 4,
//   EvtDateTime 8, EvtDropVoltage 16, EvtOverVoltage 32, EvtTariff 64,
//   EvtOpenClemma 128.
//
// Retries: a failed exchange (no or short answer, bad header, bad CRC) is
// repeated; kAttempts exchanges in all.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace CmtrCE2727Requests {

constexpr int kAttempts = 3;
constexpr int kHeaderSize = 12;
constexpr int kMinFrame = 14;  // header and CRC: a refusal
constexpr int kMaxFrame = 255;

// Reasons of an answer without data.
constexpr uint8_t kCodeAccessDenied = 1;
constexpr uint8_t kCodeNoRecord = 4;
constexpr uint8_t kCodeArchiveEnd = 5;

enum ParserType {
  kParseSystem = 1,
  kParseDateTime = 2,
  kParseCurrNrg = 3,
  kParseCurrPwr = 4,
  kParseArchive = 7,
  kParseProfile = 8,
  kParseEvents = 9,
  kParseCurrentState = 10,
};

// Field types of the archive and journal lists (the data-type codes).
enum FieldType {
  kFieldSkip = 0,
  kFieldDate = 2,      // day, month, year - 2000, BCD
  kFieldDateTime = 4,  // second, minute, hour, day, month, year - 2000, BCD
  kFieldMonth = 6,     // month, year - 2000, BCD
  kFieldByte = 8,
  kFieldShort = 10,   // s16
  kFieldUShort = 11,  // u16
  kFieldCount = 13,   // u32, as an integer
  kFieldEnergy = 14,  // u32 x 0.001
};

struct Field {
  const char* name;
  int type;
  int size;
  uint8_t tariff;
  uint32_t param;
  bool event_time;  // journal date-time fields that stamp an event
};

struct Request {
  std::string name;
  uint8_t cmd = 0;
  uint8_t p1 = 0, p2 = 0, p3 = 0, p4 = 0;
  uint32_t param = 0;  // parameter index of the records
  uint32_t group = 0;  // record group (value kind)
  int parser = 0;
  // Archive walk state.
  bool walk_started = false;
  bool device_end = false;
  time_t cursor = 0;
};

struct RequestSet {
  std::vector<Request> system, time, current, daily, monthly, yearly, profile, events;
};

// 1 CE2727, 2 CE2727A; null for any other model.
const RequestSet* RequestSetFor(int model);

const std::vector<Field>& DailyFields();
const std::vector<Field>& MonthlyFields();
// Null for a journal type the meter does not have.
const std::vector<Field>* JournalFields(int journal);
// Name of the event a journal records; null for an unknown journal.
const char* JournalEventName(int journal);
// The value of an event record of that journal (0 for an unknown journal).
int JournalEventValue(int journal);
constexpr int kJournalMaxRecords = 64;

extern const char* const kEventNames[8];

// Two BCD digits; -1 when the byte is not two decimal digits.
int Bcd(uint8_t b);
bool ValidDate(int day, int month, int year2);  // year2: year - 2000
// Little-endian 32-bit field.
uint32_t U32(const uint8_t* p);
// BCD second, minute, hour, day, month, year - 2000 as local time; -1 when
// not a valid moment.
time_t DateTime6(const uint8_t* p);
// A fixed-point count as decimal text: 12345 with 3 decimals is "12.345".
std::string Scaled(int64_t v, int decimals);

// The identity fields of a command 0 answer (`d` its data bytes, `n` of them);
// false when the answer is too short to hold them.
struct SystemInfo {
  std::string firmware;  // "%X.%02X" of data bytes 1 and 0
  uint32_t serial = 0;
  uint32_t net_address = 0;
};
bool ParseSystemInfo(const uint8_t* d, int n, SystemInfo& out);

// The meter clock of a command 1 answer as local time; -1 when the bytes are
// not a moment.
time_t ParseMeterClock(const uint8_t* d, int n);

// One archive answer (a whole frame of `len` bytes) read along `fields`.
struct ArchiveValue {
  const Field* field;
  std::string text;
  time_t time;  // record time, meter's local time
};
enum ArchiveDefect { kArchiveGood, kArchiveUnknownType, kArchiveOutOfPacket, kArchiveBadDate };
struct ArchiveAnswer {
  ArchiveDefect defect = kArchiveGood;
  const Field* field = nullptr;      // the field that could not be read
  int position = 0;                  // its offset in the frame
  std::vector<ArchiveValue> values;  // none after a defect: the answer yields nothing
};
// A day's record (`next_midnight`) is stamped with the following midnight;
// records whose time lies outside [from, till] produce no values.
ArchiveAnswer ParseArchiveAnswer(const std::vector<Field>& fields, const uint8_t* frame, int len,
                                 bool next_midnight, time_t from, time_t till);

}  // namespace CmtrCE2727Requests
