// Variables of the main level as the server modes see them: lookup and creation by
// name, and conversion between a Variable and its wire form. Relies on the program
// areas and frames of the main level; failures are reported through message().
#pragma once

#include <string>

#include "session/rpc_protocol.h"
#include "values/variable.h"

// The main-level variable of that name (folded to upper case), created when absent and
// `create`; null when absent, or when the name is not a valid variable name.
Variable* main_level_variable(const std::string& name, bool create);

// The wire form of a value (name included); undefined values, file variables and
// structures carry only their type.
WireValue wire_from_variable(const std::string& name, Variable* var);
// Stores a wire value into dst. Refuses (message -386, action 2) what cannot be stored:
// undefined values, structures, data that does not match the type.
void store_wire_value(const WireValue& value, Variable* dst);

// Both steps for the set requests: from the main level, into the variable of that name.
void set_main_variable(const WireValue& value);
