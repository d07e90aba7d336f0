// File-unit built-ins (OPENR, OPENW, OPENU, CLOSE, FREE_LUN, GET_LUN, FLUSH, POINT_LUN,
// EOF, FSTAT): argument and keyword decoding in front of the unit table (io/files.h).
#pragma once

#include <cstdint>

#include "interp/routines.h"

// The OPEN family: decodes unit, name and keywords, then opens with the given access
// (1 OPENR, 7 OPENW, 3 OPENU) and extra attribute bits. io_error nonzero reports
// failures as I/O errors (ON_IOERROR applies), else as plain messages; with ERROR=var
// they are only recorded in var. Returns 1 on success.
int vek_open_file(int argc, Variable* argv[], KwNames argk, int access, uint32_t extra_attributes, int io_error);

void ur_openr(int argc, Variable* argv[], KwNames argk);
void ur_openw(int argc, Variable* argv[], KwNames argk);
void ur_openu(int argc, Variable* argv[], KwNames argk);
void close_file(int argc, Variable* argv[], KwNames argk);
void free_lun(int argc, Variable* argv[], KwNames argk);
void get_lun(int argc, Variable* argv[], KwNames argk);
void flush_file(int argc, Variable* argv[], KwNames argk);
void point_lun(int argc, Variable* argv[], KwNames argk);
Variable* eof_lun(int argc, Variable* argv[], KwNames argk);
Variable* ur_fstat(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry file_functions[];
extern const int n_file_functions;
extern const RoutineEntry file_procedures[];
extern const int n_file_procedures;
