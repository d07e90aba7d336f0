// SAVE and RESTORE: variables, common blocks, system variables and compiled routines of
// the session written to a save file and read back, record by record, with the file's
// own recovery so that one bad record costs only itself. The stream, the value and
// routine encodings are io/saverestore; this file knows the session: the main level's
// variables, the common blocks, the system variables and the routine tables.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/frames.h"
#include "interp/routines.h"
#include "io/files.h"
#include "io/saverestore.h"
#include "lib/sysvars.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/temps.h"

namespace {

constexpr const char* kDefaultFile = "veksave.dat";
constexpr uint32_t kAttrBinary = 1u << 27;
constexpr int kMaxResyncs = 30;

// Keywords (both routines share them): presence words and values.
int32_t kw_all, kw_common, kw_variables, kw_sysvars, kw_routines, kw_verbose, kw_xdr, kw_filename_given;
StringDesc kw_filename;

struct SrOptions {
  bool all = false, common = false, variables = false, sysvars = false, routines = false, verbose = false;
  std::string filename;
  bool filename_given = false;
};

// Flag keywords are read as LONG values; "given" means present and nonzero.
int32_t kv_all, kv_common, kv_variables, kv_sysvars, kv_routines, kv_verbose, kv_xdr;

int decode(int argc, Variable* argv[], KwNames argk, Variable* positional[], uint8_t mask, SrOptions* o) {
  if (!argk) {
    for (int i = 0; i < argc; i++) positional[i] = argv[i];
    return argc;
  }
  kv_all = kv_common = kv_variables = kv_sysvars = kv_routines = kv_verbose = kv_xdr = 0;
  static const KwEntry table[] = {
      {"ALL", TYP_LONG, 3, 0, &kw_all, &kv_all},
      {"COMMON", TYP_LONG, 3, 0, &kw_common, &kv_common},
      {"FILENAME", TYP_STRING, 3, 0, &kw_filename_given, &kw_filename},
      {"ROUTINES", TYP_LONG, 3, 0, &kw_routines, &kv_routines},
      {"SYSTEM_VARIABLES", TYP_LONG, 3, 0, &kw_sysvars, &kv_sysvars},
      {"VARIABLES", TYP_LONG, 3, 0, &kw_variables, &kv_variables},
      {"VERBOSE", TYP_LONG, 3, 0, &kw_verbose, &kv_verbose},
      {"XDR", TYP_LONG, 3, 0, &kw_xdr, &kv_xdr},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  int n = get_kw_params(argc, argv, argk, table, positional, mask);
  o->all = kw_all && kv_all;
  o->common = kw_common && kv_common;
  o->variables = kw_variables && kv_variables;
  o->sysvars = kw_sysvars && kv_sysvars;
  o->routines = kw_routines && kv_routines;
  o->verbose = kw_verbose && kv_verbose;
  if (kw_filename_given) {
    o->filename_given = true;
    o->filename.assign(str_chars(kw_filename), kw_filename.length);
  }
  return n;
}

// The scalar string of an argument (-134 / -126 otherwise).
std::string string_argument(Variable* v) {
  if (v->type != TYP_STRING) var_error(M_NEED_STRING, v, MSG_LONGJMP);
  if (!v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  return std::string(str_chars(v->value.str), v->value.str.length);
}

// The save unit, closed and handed back however the routine ends.
class SaveUnit {
 public:
  SaveUnit(const std::string& name, bool writing) {
    OpenRequest req;
    req.name = name.c_str();
    req.access = writing ? 7 : 1;
    req.attributes = FA_XDR | FA_SAVRES | kAttrBinary;
    req.get_lun = true;
    unit_ = open_file(req, MSG_LONGJMP);
  }
  ~SaveUnit() { close(); }
  SaveUnit(const SaveUnit&) = delete;
  SaveUnit& operator=(const SaveUnit&) = delete;
  int unit() const { return unit_; }
  void close() {
    if (unit_ <= 0) return;
    int u = unit_;
    unit_ = 0;
    try {
      close_unit(u, true, MSG_CONTINUE);
      free_lun_unit(u, MSG_CONTINUE);
    } catch (const VekJump&) {
    }
  }

 private:
  int unit_ = 0;
};

// ---- the main level ---------------------------------------------------------------------

// The main level's variable of that name, created when needed (only while the main
// level is current: -252 otherwise, and null).
Variable* main_variable(IdentEntry* name) {
  if (Variable* v = main_level_storage(name, false)) return v;
  if (curr_frame != main_frame) {
    message(M_MAIN_LEVEL_ONLY, 0, MSG_CONTINUE, name->name);
    return nullptr;
  }
  return main_level_storage(name, true);
}

// Plain name of a named variable (without its common block).
std::string plain_name(const Variable* v) {
  VarNameInfo info{};
  if (varname_lookup && varname_lookup(v, &info) && info.name) return info.name;
  if (main_frame && main_prog) {
    for (uint16_t off = main_prog->var_head; off; off = var_entry(main_prog, off)->next) {
      const VarEntry* e = var_entry(main_prog, off);
      if (e->ident && main_entry_storage(e) == v) return e->ident->name;
    }
  }
  return varname(v);
}

// ---- SAVE -----------------------------------------------------------------------------

void write_timestamp(SaveStream& s) {
  s.begin_record();
  for (int i = 0; i < 256; i++) {
    int32_t zero = 0;
    s.x_long(zero);
  }
  time_t now = time(nullptr);
  char date[64];
  ctime_r(&now, date);
  date[strcspn(date, "\n")] = 0;
  std::string when = date;
  std::string user;
  if (const char* u = getenv("USER"); u && *u) {
    user = u;
  } else if (struct passwd* pw = getpwuid(getuid())) {
    user = pw->pw_name;
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) message(M_NO_HOSTNAME, errno, MSG_LONGJMP);
  std::string h = host;
  s.x_text(when, SR_MAX_TEXT);
  s.x_text(user, SR_MAX_TEXT);
  s.x_text(h, SR_MAX_TEXT);
  s.end_record(SR_TIMESTAMP);
}

void write_variable(SaveStream& s, IdentEntry* name, Variable* v, bool verbose) {
  s.begin_record();
  s.x_id(name);
  sr_write_value(s, v);
  s.end_record(SR_VARIABLE);
  if (verbose) message(M_SAVED, 0, MSG_INFO, "variable", name->name);
}

void write_common(SaveStream& s, CommonBlock* blk, bool verbose) {
  s.begin_record();
  int16_t count = static_cast<int16_t>(blk->count);
  IdentEntry* name = blk->name;
  s.x_short(count);
  s.x_id(name);
  for (int i = 0; i < blk->count; i++) {
    IdentEntry* n = blk->names ? blk->names[i] : nullptr;
    s.x_id(n);
  }
  s.end_record(SR_COMMON);
  if (verbose) message(M_SAVED, 0, MSG_INFO, "common block", blk->name->name);
}

void write_routine(SaveStream& s, CodeBlock* cb, bool verbose) {
  s.begin_record();
  sr_write_routine(s, cb);
  s.end_record(SR_ROUTINE);
  if (verbose) message(M_SAVED, 0, MSG_INFO, cb->is_function() ? "function" : "procedure", cb->name_str());
}

void do_save(int n, Variable* names[], const SrOptions& o) {
  if (o.variables && o.routines) message(M_CONFLICTING_KW, 0, MSG_LONGJMP);
  bool common = o.common || o.all, variables = o.variables || o.all, sysvars = o.sysvars || o.all,
       routines = o.routines;
  if (n == 0 && !common && !variables && !sysvars && !routines) variables = true;
  if (n && !routines) variables = true;  // the names are variables
  // Named arguments are checked before the file is made.
  if (n && !routines) {
    for (int i = 0; i < n; i++)
      if (names[i]->flags & FLAG_UNNAMED) var_error(M_NOT_NAMED, names[i], MSG_LONGJMP);
  }
  std::vector<CodeBlock*> chosen;
  if (routines && n) {
    for (int i = 0; i < n; i++) {
      std::string name = string_argument(names[i]);
      for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      IdentEntry* id = ident_hash(name.c_str(), 0, 0, MSG_LONGJMP);
      CodeBlock* cb = find_user_routine(id, false);
      if (!cb || !cb->compiled()) cb = find_user_routine(id, true);
      if (!cb || !cb->compiled()) {
        message(M_NOT_SAVED, 0, MSG_CONTINUE, name.c_str());
        continue;
      }
      chosen.push_back(cb);
    }
  }

  sr_reset_struct_flags();
  SaveUnit file(o.filename_given ? o.filename : kDefaultFile, true);
  SaveStream s(file.unit());
  int32_t sig = static_cast<int32_t>(SAVE_SIGNATURE);
  s.x_long(sig);
  write_timestamp(s);

  if (common) {
    std::vector<CommonBlock*> done;
    for (uint16_t off = main_prog->var_head; off; off = var_entry(main_prog, off)->next) {
      CommonBlock* blk = var_entry(main_prog, off)->common;
      if (!blk || std::find(done.begin(), done.end(), blk) != done.end()) continue;
      done.push_back(blk);
      write_common(s, blk, o.verbose);
    }
  }
  if (variables) {
    if (n && !routines) {
      for (int i = 0; i < n; i++) {
        Variable* v = names[i];
        std::string name = plain_name(v);
        if (v->type == TYP_UNDEF) {
          message(M_NOT_SAVED, 0, MSG_CONTINUE, name.c_str());
          continue;
        }
        write_variable(s, ident_hash(name.c_str(), 0, 0, MSG_LONGJMP), v, o.verbose);
      }
    } else {
      for (uint16_t off = main_prog->var_head; off; off = var_entry(main_prog, off)->next) {
        VarEntry* e = var_entry(main_prog, off);
        Variable* v = main_entry_storage(e);
        if (e->ident && v && v->type != TYP_UNDEF) write_variable(s, e->ident, v, o.verbose);
      }
    }
  }
  if (sysvars && sysvartab) {
    for (uint32_t i = 0; i < sysvartab->count; i++) {
      auto* rec = static_cast<SysVar*>(sysvartab->entries[i]);
      if (rec->var.flags & FLAG_CONSTANT) continue;
      TempGuard value;
      value.v = get_sysv(rec);
      s.begin_record();
      IdentEntry* name = rec->name;
      uint8_t type = value.v->type, flags = static_cast<uint8_t>(value.v->flags & ~FLAG_TEMPORARY);
      s.x_id(name);
      s.x_u_char(type);
      s.x_u_char(flags);
      sr_write_value(s, value.v);
      s.end_record(SR_SYSVAR);
      if (o.verbose) message(M_SAVED, 0, MSG_INFO, "system variable", rec->name->name);
    }
  }
  if (routines) {
    if (n) {
      for (CodeBlock* cb : chosen) write_routine(s, cb, o.verbose);
    } else {
      for (SearchTable* t : {uprotab, ufuntab}) {
        if (!t) continue;
        for (uint32_t i = 0; i < t->count; i++) {
          auto* cb = static_cast<CodeBlock*>(t->entries[i]);
          if (cb->compiled()) write_routine(s, cb, o.verbose);
        }
      }
    }
  }
  int32_t end[4] = {SR_END, 0, 0, 0};
  for (int32_t& w : end) s.x_long(w);
  if (fflush(file_table[file.unit()]->stream) != 0) s.fail_write();
  file.close();
}

// ---- RESTORE ------------------------------------------------------------------------------

void restore_variable(SaveStream& s, bool verbose) {
  IdentEntry* name = nullptr;
  s.x_id(name);
  if (!name) message(M_SAVE_ITEM, 0, MSG_LONGJMP);
  TempGuard value;
  value.v = sr_read_value(s);
  Variable* dst = main_variable(name);
  if (!dst) return;
  var_copy(value.release(), dst);
  if (verbose) message(M_RESTORED_ITEM, 0, MSG_INFO, "variable", name->name);
}

void restore_common(SaveStream& s, bool verbose) {
  int16_t count = 0;
  IdentEntry* name = nullptr;
  s.x_short(count);
  s.x_id(name);
  if (!name || count < 1 || count > 65535 / VAR_SLOT_SIZE) message(M_SAVE_ITEM, 0, MSG_LONGJMP);
  s.need(uint64_t(count) * 4);
  std::vector<IdentEntry*> names(static_cast<size_t>(count));
  for (IdentEntry*& n : names) s.x_id(n);
  CommonBlock* blk = enter_common(name, count, true);
  if (!blk) message(M_RESTORE_STOPPED, 0, MSG_LONGJMP);
  for (int i = 0; i < count; i++) {
    IdentEntry* var = names[static_cast<size_t>(i)];
    if (!var) continue;
    if (!blk->names[i]) blk->names[i] = var;
    const auto slot = static_cast<uint16_t>(i * VAR_SLOT_SIZE);
    uint32_t at = looksym(var, main_prog, false);
    if (at) {
      VarEntry* e = var_entry(main_prog, at);
      if (e->common == blk && e->slot == slot) continue;
      if (e->common) {
        message(M_COMMON_ALIAS, 0, MSG_CONTINUE, var->name, name->name, e->common->name->name);
        continue;
      }
      if (e->slot != SLOT_UNASSIGNED) {
        message(M_CONFLICTING_DEF, 0, MSG_CONTINUE, var->name);
        continue;
      }
    } else {
      if (curr_frame != main_frame) {
        message(M_MAIN_LEVEL_ONLY, 0, MSG_CONTINUE, var->name);
        continue;
      }
      at = looksym(var, main_prog, true);
      if (!at) message(M_RESTORE_STOPPED, 0, MSG_LONGJMP);
    }
    VarEntry* e = var_entry(main_prog, at);
    e->common = blk;
    e->slot = slot;
  }
  if (verbose) message(M_RESTORED_ITEM, 0, MSG_INFO, "common block", name->name);
}

void restore_sysvar(SaveStream& s, bool verbose) {
  IdentEntry* name = nullptr;
  uint8_t type = 0, flags = 0;
  s.x_id(name);
  s.x_u_char(type);
  s.x_u_char(flags);
  if (!name || name->name[0] != '!') message(M_SAVE_ITEM, 0, MSG_LONGJMP);
  TempGuard value;
  value.v = sr_read_value(s);
  SysVar* rec = find_sysvar(name->name);
  if (rec && (rec->var.flags & FLAG_CONSTANT)) {
    if (verbose) message(M_SYSVAR_NOT_RESTORED, 0, MSG_INFO, name->name);
    return;
  }
  if (rec)
    store_sysv(rec, value.v);
  else
    enter_sysv(name->name, value.v, flags & FLAG_CONSTANT);
  if (verbose) message(M_RESTORED_ITEM, 0, MSG_INFO, "system variable", name->name);
}

void restore_timestamp(SaveStream& s, bool verbose) {
  s.need(256 * 4);
  for (int i = 0; i < 256; i++) {
    int32_t reserved;
    s.x_long(reserved);
  }
  std::string date, user, host;
  s.x_text(date, SR_MAX_TEXT);
  s.x_text(user, SR_MAX_TEXT);
  s.x_text(host, SR_MAX_TEXT);
  if (verbose) message(M_SAVE_WRITTEN_BY, 0, MSG_INFO, user.c_str(), host.c_str(), date.c_str());
}

void restore_routine(SaveStream& s, bool verbose) {
  CodeBlock* cb = sr_read_routine(s, compiler_hooks.routine_active);
  if (verbose) message(M_RESTORED_ITEM, 0, MSG_INFO, cb->is_function() ? "function" : "procedure", cb->name_str());
}

// Reads the file; returns normally, or rethrows the error that ended it (after closing).
void do_restore(const std::string& path, bool verbose, bool rethrow) {
  SaveUnit file(path, false);
  const char* name = file_table[file.unit()]->name;
  std::string shown = name ? name : path;
  uint32_t sig = 0;
  {
    SaveStream s(file.unit());
    int32_t raw = 0;
    if (s.size() >= 4) {
      s.x_long(raw);
      sig = static_cast<uint32_t>(raw);
    }
  }
  if (sig != SAVE_SIGNATURE) {
    file.close();
    if (sig == SAVE_SIGNATURE_VMS || sig == SAVE_SIGNATURE_V1) {
      if (verbose) message(M_SAVE_KIND, 0, MSG_INFO, sig == SAVE_SIGNATURE_V1 ? "Version 1" : "VMS only");
      message(M_SAVE_VMS, 0, MSG_LONGJMP, shown.c_str());
    }
    if ((sig >> 16) == 0x5352) message(M_SAVE_OBSOLETE, 0, MSG_LONGJMP, shown.c_str());
    message(M_SAVE_INVALID, 0, MSG_LONGJMP, shown.c_str());
  }
  if (verbose) message(M_SAVE_KIND, 0, MSG_INFO, "Portable (XDR)");

  SaveStream s(file.unit());
  long resync_point = -1;
  int resyncs = 0;
  bool failed = false;
  VekJump jump{};
  for (;;) {
    const long record_pos = s.pos();
    int32_t next = 0;
    try {
      int32_t type = s.read_header(&next);
      bool stop = false;
      switch (type) {
        case SR_COMMON: restore_common(s, verbose); break;
        case SR_VARIABLE: restore_variable(s, verbose); break;
        case SR_SYSVAR: restore_sysvar(s, verbose); break;
        case SR_TIMESTAMP: restore_timestamp(s, verbose); break;
        case SR_ROUTINE: restore_routine(s, verbose); break;
        case SR_UNUSED: message(M_INTERNAL, 0, MSG_LONGJMP, "unimplemented RESTORE function"); break;
        case SR_UNFINISHED:
          message(M_SAVE_TRUNCATED, 0, MSG_CONTINUE, shown.c_str());
          stop = true;
          break;
        case SR_END: stop = true; break;
        case SR_OLD_ROUTINE: message(M_OLD_ROUTINES, 0, MSG_LONGJMP); break;
        default: message(M_SAVE_ITEM, 0, MSG_LONGJMP);
      }
      if (stop) break;
      // The chain, not the reading, decides where the next record starts.
      if (next > record_pos && next <= s.size()) s.seek(next);
    } catch (const VekJump& j) {
      const bool at_end = s.pos() >= s.size();
      if (record_pos != resync_point && resyncs < kMaxResyncs && !at_end && next > record_pos && next < s.size()) {
        resync_point = record_pos;
        resyncs++;
        s.seek(next);
        continue;
      }
      failed = true;
      jump = j;
      break;
    }
  }
  file.close();
  if (failed && rethrow) throw jump;
}

void exec_v4_sr(int argc, Variable* argv[], KwNames argk, int mode, bool rethrow) {
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  SrOptions o;
  int n = decode(argc, argv, argk, pos.data(), 3, &o);
  if (mode == 1) {
    do_save(n, pos.data(), o);
    return;
  }
  std::string path = n > 0 ? string_argument(pos[0]) : o.filename_given ? o.filename : kDefaultFile;
  do_restore(path, o.verbose, rethrow);
}

void ur_v4_save(int argc, Variable* argv[], KwNames argk) { exec_v4_sr(argc, argv, argk, 1, true); }
void ur_v4_restore(int argc, Variable* argv[], KwNames argk) { exec_v4_sr(argc, argv, argk, 2, true); }

// Routines found along !PATH in ".sav" files.
bool restore_routine_file(const char* path) {
  try {
    do_restore(path, false, true);
    return true;
  } catch (const VekJump&) {
    return false;
  }
}

}  // namespace

void install_save_restore() { compiler_hooks.restore_file = restore_routine_file; }

extern const RoutineEntry save_restore_procedures[] = {
    {ur_v4_restore, "RESTORE", 0, 1, true},
    {ur_v4_save, "SAVE", 0, 127, true},
};
extern const int n_save_restore_procedures = sizeof save_restore_procedures / sizeof save_restore_procedures[0];
