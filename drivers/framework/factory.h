#pragma once

#include <string>

// One row of the model table: which class a model string selects.
struct FactoryRow {
  int row = 0;             // 1-based row number, 0 when no row matches
  std::string class_name;  // e.g. "CmtrMercury23X"; "CmtrEmptyDriver" when no row matches
  std::string argument;    // the constructor argument as text ("" when none)
};

// The first row of the table that matches `model` (tests are case-sensitive).
FactoryRow FindFactoryRow(const std::string& model);
