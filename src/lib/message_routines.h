// The message built-ins: the MESSAGE procedure, STRMESSAGE and CHECK_MATH. Relies on
// message() and the math-error state of base/message.h.
#pragma once

#include "interp/routines.h"

// MESSAGE texts are cut to this many characters so that they fit the composition buffer.
constexpr int MAX_USER_MESSAGE = 1948;

void user_message(int argc, Variable* argv[], KwNames argk);
Variable* strmessage(int argc, Variable* argv[], KwNames argk);
Variable* ur_checkmath(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry message_functions[];
extern const int n_message_functions;
extern const RoutineEntry message_procedures[];
extern const int n_message_procedures;
