// File-unit built-ins: OPENR, OPENW, OPENU, CLOSE, FREE_LUN, GET_LUN, FLUSH, POINT_LUN,
// EOF and FSTAT. Argument and keyword decoding lives here; the unit table does the work.
#include "lib/file_routines.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/message.h"
#include "io/files.h"
#include "values/convert.h"
#include "values/ident.h"
#include "values/strings.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

// Keyword targets of the OPEN family, cleared by each decoding.
int32_t open_attrs;   // FA_MORE, FA_XDR, FA_DELETE, FA_F77, FA_NOSTDIO
int32_t open_append;
int32_t open_get_lun;
int32_t error_given;
Variable* error_var;
int32_t width_given;
int32_t width_value;

constexpr uint16_t kFlag = KW_BITFLAG | KW_CLEAR;

// Record-format keywords are accepted for compatibility and have no effect here.
constexpr KwEntry kOpenKeywords[] = {
    {"APPEND", 0, 1, kFlag | 1, nullptr, &open_append},
    {"BLOCK", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"DELETE", 0, 1, kFlag | FA_DELETE, nullptr, &open_attrs},
    {"ERROR", 0, 1, KW_VARIABLE, &error_given, &error_var},
    {"EXTENDSIZE", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"F77_UNFORMATTED", 0, 1, kFlag | FA_F77, nullptr, &open_attrs},
    {"FIXED", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"FORTRAN", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"GET_LUN", 0, 1, kFlag | 1, nullptr, &open_get_lun},
    {"INITIALSIZE", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"LIST", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"MACTYPE", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"MORE", 0, 1, kFlag | FA_MORE, nullptr, &open_attrs},
    {"NONE", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"NOSTDIO", 0, 1, kFlag | FA_NOSTDIO, nullptr, &open_attrs},
    {"SEGMENTED", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"STREAM", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"SUPERSEDE", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"VARIABLE", 0, 1, KW_BITFLAG, nullptr, nullptr},
    {"WIDTH", TYP_LONG, 1, KW_CLEAR, &width_given, &width_value},
    {"XDR", 0, 1, kFlag | FA_XDR, nullptr, &open_attrs},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

int32_t close_flags;
constexpr int32_t kCloseAll = 1;
constexpr int32_t kCloseFiles = 2;
constexpr KwEntry kCloseKeywords[] = {
    {"ALL", 0, 1, kFlag | kCloseAll, nullptr, &close_flags},
    {"FILES", 0, 1, kFlag | kCloseFiles, nullptr, &close_flags},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void store_long(Variable* dst, int32_t value) { store_scalar(dst, TYP_LONG, &value); }

int unit_of(Variable* v) {
  if (!v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  return long_scalar(v);
}

Variable* make_byte_temp(uint8_t b) { return make_scalar_temp(TYP_BYTE, &b); }

Variable* make_string_value(const char* text) {
  Variable* t = gettmp();
  t->type = TYP_STRING;
  t->value.str = StringDesc{0, 0, nullptr};
  str_store(&t->value.str, text);
  if (t->value.str.owned) t->flags |= FLAG_DYNAMIC;
  return t;
}

}  // namespace

int vek_open_file(int argc, Variable* argv[], KwNames argk, int access, uint32_t extra_attributes, int io_error) {
  Variable* pos[2] = {nullptr, nullptr};
  get_kw_params(argc, argv, argk, kOpenKeywords, pos, 1);
  Variable* unit_arg = pos[0];
  Variable* name_arg = pos[1];
  for (Variable* v : pos)
    if (v && !v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);

  // With ERROR the failure is only recorded, and its code handed back to the caller.
  Variable* err_out = error_given ? error_var : nullptr;
  int action = err_out ? (MSG_CONTINUE | MSG_NOPRINT) : (io_error ? MSG_IOERROR : MSG_CONTINUE);
  auto fail = [&]() {
    if (err_out) store_long(err_out, error_code);
    return 0;
  };

  if (!name_arg || name_arg->type != TYP_STRING) {
    var_error(M_FILENAME_STRING, name_arg ? name_arg : unit_arg, action);
    return fail();
  }
  if (name_arg->value.str.length == 0) {
    message(M_NULL_FILENAME, 0, action);
    return fail();
  }
  if (open_get_lun && unit_arg->is_unnamed()) {
    var_error(M_NOT_NAMED, unit_arg, action);
    return fail();
  }

  OpenRequest req;
  req.unit = open_get_lun ? 0 : long_scalar(unit_arg);
  req.name = name_arg->value.str.chars;
  req.access = access;
  req.attributes = static_cast<uint32_t>(open_attrs) | extra_attributes;
  req.append = open_append != 0;
  req.get_lun = open_get_lun != 0;
  req.width = width_given ? width_value : 0;
  int unit = open_file(req, action);
  if (!unit) return fail();
  if (req.get_lun) store_long(unit_arg, unit);
  if (err_out) store_long(err_out, 0);
  return 1;
}

void ur_openr(int argc, Variable* argv[], KwNames argk) { vek_open_file(argc, argv, argk, ACC_READ, 0, 1); }
void ur_openw(int argc, Variable* argv[], KwNames argk) {
  vek_open_file(argc, argv, argk, ACC_READ | ACC_WRITE | ACC_NEW, 0, 1);
}
void ur_openu(int argc, Variable* argv[], KwNames argk) { vek_open_file(argc, argv, argk, ACC_READ | ACC_WRITE, 0, 1); }

// CLOSE [, Unit...], /ALL, /FILES.
void close_file(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[64];
  int n = get_kw_params(argc, argv, argk, kCloseKeywords, pos, 1);
  for (int i = 0; i < n; i++) close_unit(unit_of(pos[i]), false, MSG_IOERROR);
  if (close_flags & (kCloseAll | kCloseFiles)) close_all_units(close_flags & kCloseAll);
}

// FREE_LUN [, Unit...]: closes the units and returns those of the GET_LUN range.
void free_lun(int argc, Variable* argv[], KwNames) {
  for (int i = 0; i < argc; i++) free_lun_unit(unit_of(argv[i]), MSG_IOERROR);
}

// GET_LUN, Unit: the next free unit of 100..128, handed out until FREE_LUN.
void get_lun(int, Variable* argv[], KwNames) {
  if (argv[0]->is_unnamed()) var_error(M_NOT_NAMED, argv[0], MSG_LONGJMP);
  int unit = vek_next_lun_unit(MSG_IOERROR, nullptr);
  store_long(argv[0], unit);
}

// FLUSH [, Unit...].
void flush_file(int argc, Variable* argv[], KwNames) {
  for (int i = 0; i < argc; i++) flush_file_unit(unit_of(argv[i]));
}

// POINT_LUN, Unit, Position: a negative unit reads the position of |Unit| into Position.
void point_lun(int, Variable* argv[], KwNames) {
  int u = unit_of(argv[0]);
  int unit = std::abs(u);
  ensure_file_status(MSG_IOERROR, unit, FC_OPEN | FC_NOT_TTY | FC_NOT_PIPE | FC_STDIO);
  if (u < 0) {
    if (argv[1]->is_unnamed()) var_error(M_NOT_NAMED, argv[1], MSG_LONGJMP);
    store_long(argv[1], static_cast<int32_t>(vek_file_pos(unit)));
  } else {
    if (!argv[1]->is_scalar()) var_error(M_NOT_SCALAR, argv[1], MSG_LONGJMP);
    set_file_ptr(unit, long_scalar(argv[1]));
  }
}

// EOF(Unit): 1 at the end of the file, else 0; always 0 on terminals and pipes.
Variable* eof_lun(int, Variable* argv[], KwNames) {
  auto at_end = static_cast<int16_t>(unit_eof(unit_of(argv[0])));
  return make_scalar_temp(TYP_INT, &at_end);
}

// FSTAT(Unit): the unit's status as a structure of the named type FSTAT.
Variable* ur_fstat(int, Variable* argv[], KwNames) {
  static const char* const kTags[] = {"UNIT",  "NAME",           "OPEN",    "ISATTY", "READ",
                                      "WRITE", "TRANSFER_COUNT", "CUR_PTR", "SIZE",   "REC_LEN"};
  constexpr int kN = sizeof kTags / sizeof kTags[0];
  FileStat st;
  get_file_stat(unit_of(argv[0]), &st);

  IdentEntry* tags[kN];
  for (int i = 0; i < kN; i++) tags[i] = ident_hash(kTags[i], 0, IDENT_KEEP_PTR, MSG_LONGJMP);
  IdentEntry* name = ident_hash("FSTAT", 0, IDENT_KEEP_PTR, MSG_LONGJMP);
  Variable* values[kN] = {
      make_long_temp(st.unit),     make_string_value(st.name),  make_byte_temp(st.open),
      make_byte_temp(st.isatty),   make_byte_temp(st.read),     make_byte_temp(st.write),
      make_long_temp(st.transfer_count), make_long_temp(st.cur_ptr), make_long_temp(st.size),
      make_long_temp(st.rec_len),
  };
  return make_struc(&values[kN - 1], kN, name, tags, true, true);
}

// Sorted by name.
const RoutineEntry file_functions[] = {
    {eof_lun, "EOF", 1, 1},
    {ur_fstat, "FSTAT", 1, 1},
};
const int n_file_functions = sizeof file_functions / sizeof file_functions[0];

const RoutineEntry file_procedures[] = {
    {close_file, "CLOSE", 0, 64, true},
    {flush_file, "FLUSH", 0, 64},
    {free_lun, "FREE_LUN", 0, 64},
    {get_lun, "GET_LUN", 1, 1},
    {ur_openr, "OPENR", 2, 2, true},
    {ur_openu, "OPENU", 2, 2, true},
    {ur_openw, "OPENW", 2, 2, true},
    {point_lun, "POINT_LUN", 2, 2},
};
const int n_file_procedures = sizeof file_procedures / sizeof file_procedures[0];
