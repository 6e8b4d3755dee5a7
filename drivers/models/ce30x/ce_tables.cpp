// Request descriptor tables of the CE102M, CE30x and CE308 meters.
//
// Session (mode C; the line speed never changes):
//   break    SOH 'B' '0' ETX 0x75        the meter stays silent
//   sign-on  "/?" address "!" CR LF      "/EKT5" model CR LF, 21 bytes at most,
//            e.g. "/EKT5CE301v12\r\n". The model text picks the class: one
//            with "CE102M" the CE102M, else "CE308" the CE308, else "CE30" the
//            CE30x ("CE301" in it: active energy only). The address is empty
//            or the configured "net_address".
//   option   ACK '0' '5' '1' CR LF       SOH 'P' '0' STX '(' serial ')' ETX BCC
//   then reads in programming mode, until the meter's own timeout or a break.
// NAKs ahead of any answer are skipped. An error message answers a name the
// meter does not have: STX "(ERRnn)" ETX BCC, or STX NAME "(ERRnn)" ETX BCC.
// When the meter never answered that name with values, it is asked once more
// at once (a line fault can look like an error); a second error message skips
// the value, is logged once at Warning and the name is not asked of the meter
// again until the daemon restarts (a CE301 without reactive energy costs two
// requests per reactive name, in its first session only). When the meter has
// answered the name before, the error counts as an answer to another name:
// programming mode again, and after three tries the operation fails. Meter
// clock texts are the meter's wall clock; the driver reads them as local time
// and subtracts the configured zone difference.
//
// Every exchange is a read command and its answer:
//   request  SOH 'R' '1' STX NAME '(' args ')' ETX BCC
//   answer   STX NAME '(' v1 ')' CR LF '(' v2 ')' CR LF ... ETX BCC
// BCC is the 7-bit sum. The answer repeats the five-letter name once, before
// the first bracket; the following brackets may each stand on a line of their
// own, with or without the name repeated ("VOLTA(1)\r\nVOLTA(2)\r\n" and
// "VOLTA(1)\r\n(2)\r\n" read the same). Only the bracket contents count.
// Numbers are plain decimal with '.' as the point ("229.87", "-0.012").
// Unless a table says otherwise the request args are empty: "NAME()".
// A bracket left empty "()" means "no value" and produces no record.
//
// Variants read (the meter families' parameter descriptions allow them):
//   numbers      "229.87", "-0.012", "+1", also with a unit: "229.87*V".
//   tariffs      (total)(T1)..(T5): fewer brackets give fewer tariffs, more
//                than six are ignored (the controller keeps total and T1..T5).
//   phases       one bracket per phase; fewer for fewer phases. COS_f with
//                four brackets is (sum)(a)(b)(c), with three (a)(b)(c).
//   dates        "dd.mm.yy", "ww.dd.mm.yy" (day of the week first), the year
//                also as four digits. DATEM months "mm.yy" or a date.
//   schedules    per switching point "hh:mm,t", "hh.mm.tt" ("(07.00.01)
//                (23.00.02)"), "hh:mm:ss,t"; any of . : , ; blank separates.
//                Tariff 0 marks an unused slot and is skipped.
//   seasons      "dd.mm,w,s,u,h" or "dd.mm.g" (one schedule for every kind of
//                day); special days "dd.mm,g" or "dd.mm.gg". An entry of
//                zeros only is padding.
//   journals     "date,time" or "time,date", a blank for the comma; an all-zero
//                date ("(00.00.00,00:00:00)") is no event, as start or end.
//   date lists   an all-zero date is padding.
//   profile      one bracket per slot of the averaging time TAVER (60: hours,
//                30: half hours, 15, ...), from 00:00; a day in progress has
//                only its completed slots, "()" marks a missing one. An hour
//                is stored with the mean of its slots, when all are there.
//                Without a usable TAVER the count decides (the fewest slots
//                per hour that it fits, on the day in progress for its hours
//                so far) and this is logged once.
// A bracket that none of these reads costs that value alone: no record, one
// Warning per name and session with the answer text, and the reading goes on.

#include "drivers/models/ce30x/ce_models.h"

namespace {

using D = CCE102M::Descriptor;

}  // namespace

// ---------------------------------------------------------------------------
// CE102M (single phase, active energy only).
//
// Time list (clock):
//   WATCH()  -> WATCH(dd.mm.yy,hh:mm:ss)     meter wall clock; the date and the
//               time may also come as two brackets, in either order
//               -> "MDateTime" (85, group 10): controller seconds as text.
// System list (read once per thread, after the schedules GRF01..GRF36 below):
//   VINFO()  -> VINFO(serial)(firmware)(model)   three text brackets
//               -> "SerialNumber" (74), "Firmware" (73), "MeterModel" (72).
//   SESON()  -> seasons, see CE30x below    -> "TimeTableSeasons" (63).
//   EXDAY()  -> special days, see CE30x     -> "TimeTableSpecial" (65).
// Current list (group 0, one value each, single phase):
//   ET0PE()  -> (total)(T1)(T2)(T3)(T4)(T5) kWh   -> "WA" (50), tariff 0..5.
//   VOLTA()  -> (U) V                             -> "VA" (39).
//   CURRE()  -> (I) A                             -> "IA" (42).
//   POWEP()  -> (P) kW                            -> "PA" (31).
//   COS_f()  -> (cos phi)                         -> "COS" (45).
//   FREQU()  -> (f) Hz                            -> "FREQ" (49).
// Journal list (hourly archive pass; all records, newest first; "NAME()" when
// the journal is empty):
//   LOG01()  -> (dd.mm.yy,hh:mm:ss,dd.mm.yy,hh:mm:ss) per record: power off,
//               power on (the second pair empty or missing while still off)
//               -> "A242" (69, group 6), 1 << 11 at the off time and 1 << 12
//               at the on time.
//   LOG02()  -> (dd.mm.yy,hh:mm:ss) per programming access -> 1 << 10.
// Archives: see the archive table below; the CE102M reads only DATED, ENDPE,
// EADPE, DATEM, ENMPE and EAMPE.
// ---------------------------------------------------------------------------
CCE102M::CCE102M(std::shared_ptr<CGost61107Connector> connector,
                 std::shared_ptr<CeMeterMemory> memory)
    : cGost61107(std::move(connector)),
      memory_(memory ? std::move(memory) : std::make_shared<CeMeterMemory>()) {
  time_list_ = {
      D{"WATCH", kCeTypeDate, 85, System, &CCE102M::parseWatch, 0},
  };
  system_list_ = {
      D{"VINFO", kCeTypeText, 74, System, &CCE102M::parseVinfo, 0},
      D{"SESON", kCeTypeText, 63, System, &CCE102M::parseSeasons, 0},
      D{"EXDAY", kCeTypeText, 65, System, &CCE102M::parseSpecial, 0},
  };
  current_list_ = {
      D{"ET0PE", kCeTypeNumber, 50, Current, &CCE102M::parseTariffs, 6},
      D{"VOLTA", kCeTypeNumber, 39, Current, &CCE102M::parsePhases, 1},
      D{"CURRE", kCeTypeNumber, 42, Current, &CCE102M::parsePhases, 1},
      D{"POWEP", kCeTypeNumber, 31, Current, nullptr, 0},
      D{"COS_f", kCeTypeNumber, 45, Current, &CCE102M::parsePhases, 1},
      D{"FREQU", kCeTypeNumber, 49, Current, nullptr, 0},
  };
  journal_list_ = {
      D{"LOG01", kEvPhaseOff, 69, Hourly, &CCE102M::parseIntervalJournal, kEvPhaseOn},
      D{"LOG02", kEvAccess, 69, Hourly, &CCE102M::parsePointJournal, 0},
  };
}

// ---------------------------------------------------------------------------
// Tariff schedules, read for every model before the system list:
//   GRF01() .. GRF36() -> (hh:mm,t) per switching point in time order: from
//               hh:mm on tariff t (1..8) applies; "GRFnn()" for an unused
//               schedule. Type 152, index 70, group 10; no record of its own:
//               the schedules feed the rendering of SESON and EXDAY.
// Seasons and special days (text records, see CeTimeTable):
//   SESON()  -> (dd.mm,w,s,u,h) per season, in any order: the season starts on
//               dd.mm; w, s, u, h are the schedule numbers (1..36, 0 = none)
//               for working days, Saturdays, Sundays and holidays. A season
//               lasts until the day before the next one starts.
//   EXDAY()  -> (dd.mm,g) per special day: date and schedule number.
//
// Archives (all models; dates are the meter's own calendar):
//   DATED()          -> (dd.mm.yy) per day held in the daily archive.
//   ENDPE(dd.mm.yy)  -> (total)(T1)..(T5) kWh at 00:00 of that day
//                       -> "A210" (50, group 2) stamped with that midnight.
//   ENDQE(dd.mm.yy)  -> the same in kvarh -> "A211" (52, group 2).
//   EADPE(dd.mm.yy)  -> (total)(T1)..(T5) kWh consumed during that day
//                       -> "A212" (50, group 7) stamped with the next midnight.
//   EADQE(dd.mm.yy)  -> the same in kvarh -> "A213" (52, group 7).
//   DATEM()          -> (mm.yy) per month held in the monthly archive.
//   ENMPE(mm.yy)     -> (total)(T1)..(T5) kWh at 00:00 of the month's first day
//                       -> "A220" (50, group 4) stamped with that midnight.
//   ENMQE(mm.yy)     -> the same in kvarh -> "A221" (52, group 4).
//   EAMPE(mm.yy)     -> (total)(T1)..(T5) kWh consumed during the month
//                       -> "A222" (50, group 8) stamped with the first midnight
//                       of the following month.
//   EAMQE(mm.yy)     -> the same in kvarh -> "A223" (52, group 8).
//   DATGR()          -> (dd.mm.yy) per day held in the load profile.
//   GRAPE(dd.mm.yy)  -> average active power kW per slot of TAVER minutes from
//                       00:00 (24 hours, 48 half hours, ...), averaged per hour
//                       (an hour needs all its slots). "()" for a missing
//                       slot; a day in progress carries fewer brackets.
//                       -> "A240" (54, group 6) stamped with the hour's start.
//   GRAQE(dd.mm.yy)  -> the same for reactive power kvar -> "A241" (56, group 6).
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// CE30x (CE301, CE303 and the other CE30 models; three phases). The CE301 is
// asked the reactive names as well: those without reactive energy refuse them
// once with an error message.
//
// Time list (clock):
//   DATE_()  -> DATE_(ww.dd.mm.yy)   ww = day of the week 00..06 (also taken
//               without it: dd.mm.yy)
//   TIME_()  -> TIME_(hh:mm:ss)      -> with the date: "MDateTime" (85, group 10).
// System list:
//   SNUMB()  -> (serial text)                  -> "SerialNumber" (74).
//   ID_FW()  -> (firmware text)                -> "Firmware" (73).
//   IDENT()  -> (model text, e.g. CE303 S31 543-JAVZ) -> "MeterModel" (72).
//   FCCUR()  -> (current transformer ratio)    -> "ICf" (60).
//   FCVOL()  -> (voltage transformer ratio)    -> "UCf" (61).
//   TAVER()  -> (profile averaging time, minutes) -> "Tsr" (62); it also sets
//               the slot length of GRAPE/GRAQE.
//   SESON(), EXDAY() as above.
// Current list (group 0, in this order):
//   ET0PE()  -> (total)(T1)..(T5) kWh      -> "WA" (50), tariff 0..5.
//   ET0QE()  -> (total)(T1)..(T5) kvarh    -> "WR" (52), tariff 0..5.
//   VOLTA()  -> (Ua)(Ub)(Uc) V             -> "VA" "VB" "VC" (39..41).
//   CURRE()  -> (Ia)(Ib)(Ic) A             -> "IA" "IB" "IC" (42..44).
//   POWEP()  -> (P) kW, all phases          -> "PA" (31).
//   POWPP()  -> (Pa)(Pb)(Pc) kW             -> "PAA" "PBA" "PCA" (32..34).
//   POWEQ()  -> (Q) kvar, all phases        -> "RA" (35).
//   POWPQ()  -> (Qa)(Qb)(Qc) kvar           -> "RAA" "RBA" "RCA" (36..38).
//   COS_f()  -> (cos)(cos a)(cos b)(cos c)  -> "COS" "COSA" "COSB" "COSC" (45..48).
//   FREQU()  -> (f) Hz                      -> "FREQ" (49).
// Journal list (all records, newest first; "NAME()" when empty). Point
// journals: (dd.mm.yy,hh:mm:ss) per event. Interval journals:
// (dd.mm.yy,hh:mm:ss,dd.mm.yy,hh:mm:ss) start and end, the end empty, zero or
// missing while the condition lasts. Each event -> "A242" (69, group 6), value 1 << bit:
//   ACCES  point     programming access        bit 10
//   PHASE  interval  phase voltage lost/back   bits 11/12
//   JSTAT  point     status word changed       bit 13
//   JOVER  interval  power limit exceeded/back bits 14/15
//   DENIA  point     access denied             bit 16
//   JCORT  point     clock corrected           bit 17
//   ELOCK  interval  cover opened/closed       bits 20/21
//   JIOVE  interval  voltage out of range/back bits 22/23
// ---------------------------------------------------------------------------
namespace {

std::vector<D> ce3Journals() {
  return {
      D{"ACCES", kEvAccess, 69, Hourly, &CCE102M::parsePointJournal, 0},
      D{"PHASE", kEvPhaseOff, 69, Hourly, &CCE102M::parseIntervalJournal, kEvPhaseOn},
      D{"JSTAT", kEvStatus, 69, Hourly, &CCE102M::parsePointJournal, 0},
      D{"JOVER", kEvOverBegin, 69, Hourly, &CCE102M::parseIntervalJournal, kEvOverEnd},
      D{"DENIA", kEvDenied, 69, Hourly, &CCE102M::parsePointJournal, 0},
      D{"JCORT", kEvClockSet, 69, Hourly, &CCE102M::parsePointJournal, 0},
      D{"ELOCK", kEvCoverOpen, 69, Hourly, &CCE102M::parseIntervalJournal, kEvCoverClosed},
      D{"JIOVE", kEvVoltageBegin, 69, Hourly, &CCE102M::parseIntervalJournal, kEvVoltageEnd},
  };
}

std::vector<D> ce3Current() {
  return {
      D{"ET0PE", kCeTypeNumber, 50, Current, &CCE102M::parseTariffs, 6},
      D{"ET0QE", kCeTypeNumber, 52, Current, &CCE102M::parseTariffs, 6},
      D{"VOLTA", kCeTypeNumber, 39, Current, &CCE102M::parsePhases, 3},
      D{"CURRE", kCeTypeNumber, 42, Current, &CCE102M::parsePhases, 3},
      D{"POWEP", kCeTypeNumber, 31, Current, nullptr, 0},
      D{"POWPP", kCeTypeNumber, 32, Current, &CCE102M::parsePhases, 3},
      D{"POWEQ", kCeTypeNumber, 35, Current, nullptr, 0},
      D{"POWPQ", kCeTypeNumber, 36, Current, &CCE102M::parsePhases, 3},
      D{"COS_f", kCeTypeNumber, 45, Current, &CCE102M::parsePhases, 4},
      D{"FREQU", kCeTypeNumber, 49, Current, nullptr, 0},
  };
}

std::vector<D> ce3Time() {
  return {
      D{"DATE_", kCeTypeDate, 85, System, &CCE102M::parseDate, 0},
      D{"TIME_", kCeTypeTime, 85, System, &CCE102M::parseTime, 0},
  };
}

}  // namespace

CCE30X::CCE30X(std::shared_ptr<CGost61107Connector> connector, bool ce301,
               std::shared_ptr<CeMeterMemory> memory)
    : CCE102M(std::move(connector), std::move(memory)), ce301_(ce301) {
  system_list_ = {
      D{"SNUMB", kCeTypeText, 74, System, nullptr, 0},
      D{"ID_FW", kCeTypeText, 73, System, nullptr, 0},
      D{"IDENT", kCeTypeText, 72, System, nullptr, 0},
      D{"FCCUR", kCeTypeNumber, 60, System, nullptr, 0},
      D{"FCVOL", kCeTypeNumber, 61, System, nullptr, 0},
      D{"TAVER", kCeTypeNumber, 62, System, &CCE102M::parseAveraging, 0},
      D{"SESON", kCeTypeText, 63, System, &CCE102M::parseSeasons, 0},
      D{"EXDAY", kCeTypeText, 65, System, &CCE102M::parseSpecial, 0},
  };
  time_list_ = ce3Time();
  journal_list_ = ce3Journals();
  current_list_ = ce3Current();
}

// ---------------------------------------------------------------------------
// CE308: the CE30x tables without the transformer ratios. Answers as for the
// CE30x (time, current, journal lists and archives, reactive included).
// When a password is configured it is given after the option select:
//   SOH 'P' '1' STX '(' password ')' ETX BCC  -> ACK when accepted.
// ---------------------------------------------------------------------------
CCE308::CCE308(std::shared_ptr<CGost61107Connector> connector,
               std::shared_ptr<CeMeterMemory> memory)
    : CCE102M(std::move(connector), std::move(memory)) {
  system_list_ = {
      D{"SNUMB", kCeTypeText, 74, System, nullptr, 0},
      D{"ID_FW", kCeTypeText, 73, System, nullptr, 0},
      D{"IDENT", kCeTypeText, 72, System, nullptr, 0},
      D{"TAVER", kCeTypeNumber, 62, System, &CCE102M::parseAveraging, 0},
      D{"SESON", kCeTypeText, 63, System, &CCE102M::parseSeasons, 0},
      D{"EXDAY", kCeTypeText, 65, System, &CCE102M::parseSpecial, 0},
  };
  time_list_ = ce3Time();
  journal_list_ = ce3Journals();
  current_list_ = ce3Current();
}
