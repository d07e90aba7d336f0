// Unformatted transfers between variables and a unit: native (the bytes as they lie in
// memory; strings move their characters) and XDR (every element through the XDR
// primitives). Relies on the file units (io/files.h) and message().
#pragma once

#include <cstdint>

#include "io/files.h"
#include "values/variable.h"

// Moves the n values to (or, with input, into) the unit. Undefined values report -124;
// end of file -182, other failures -180 / -181 (action 3). Returns the elements moved
// (a structure record counts as one).
int32_t unformatted_transfer(int unit, FileRec* f, bool input, bool xdr, int n, Variable* args[]);
