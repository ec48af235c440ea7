// The kernels of load-csv and to-csv (library/codecs/csv.vel):
// comma-separated text to rows, a flat block, records or columns, and back.
#pragma once
#include <cstdint>

#include "cell.h"
#include "memory.h"

namespace vel::csv {

enum class Shape : uint8_t { ROWS, FLAT, RECORDS, COLUMNS };

struct LoadOptions {
  Cell delimiter;        // char! or string!
  uint32_t quote = '"';
  bool trim = false;     // blanks around a value dropped, then its quotes
  bool header = false;   // the first line names the columns
  Shape shape = Shape::ROWS;
};

// The rows of a CSV text (a string, from its index) in the asked shape, or
// an error! value when a line has another number of fields than the first.
// Reading stops without an error where the text stops matching. With a
// header and no line after it, raises the user error that says so.
may_gc Cell load(const Cell& text, const LoadOptions& o);

// The CSV text of a block of records, of maps or objects, of fixed-size
// records (skip > 0) or of a map or object of columns; an error! value
// when records do not line up.
may_gc Cell encode(const Cell& data, const Cell& delimiter, uint32_t quote, int32_t skip);

// csv-load and csv-encode in the routine registry.
void register_routines();

}  // namespace vel::csv
