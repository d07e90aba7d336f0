// The structure built-ins N_TAGS, TAG_NAMES and CREATE_STRUCT.
#pragma once

#include "interp/routines.h"

Variable* ur_n_tags(int argc, Variable* argv[], KwNames argk);
Variable* ur_tag_names(int argc, Variable* argv[], KwNames argk);
Variable* ur_create_struct(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry struct_functions[];
extern const int n_struct_functions;
