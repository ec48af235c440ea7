// Series, set, text and output natives (natives_series.cpp): the set
// operations, URL escaping and base codecs, case changes, as, new-line
// markers, local file names, print and prin, and the entry of parse.
#pragma once
#include "cell.h"
#include "errors.h"
#include "memory.h"
#include "status.h"

namespace vel {

// Start-up (step "natives"): registers these natives, makes the print
// buffer and installs the standard-output print hook (output.h).
void natives_series_init();

// --- output --------------------------------------------------------------------------

// The worker of print (newline) and prin: a block is reduced and formed
// with spaces between its values, a string printed as it is, anything else
// formed; every value hook gets the text.
may_gc Status print_value(const Cell& value, bool newline);
// Whether the last print or prin ended its line.
bool last_print_newline();
// probe's printing: the molded value and a line end, through the hooks.
may_gc void probe_value(const Cell& value);
// error/report: makes the error a fire would raise and prints its report
// instead, on a frame of its own, for callers that cannot let an error pass
// (callbacks of the platform). Never raises.
void print_error_report(ErrId id, int nargs, const Cell* args);

}  // namespace vel
