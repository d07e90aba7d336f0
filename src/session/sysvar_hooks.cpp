#include "session/sysvar_hooks.h"

#include <cstring>

#include "base/message.h"
#include "base/process.h"
#include "compiler/compiler_input.h"
#include "graphics/graph_sysvars.h"
#include "interp/interpreter.h"
#include "lib/sysvars.h"
#include "session/startup.h"
#include "term/rline.h"
#include "term/tout.h"
#include "values/struct.h"

namespace {

SysVar* rec_of(void* handle) { return static_cast<SysVar*>(handle); }

Variable* load(void* sv) { return get_sysv(rec_of(sv)); }
void store(void* sv, Variable* value) { store_sysv(rec_of(sv), value); }
Variable* in_place(void* sv, bool* read_only) {
  *read_only = rec_of(sv)->var.is_const();
  return sysv_variable(rec_of(sv));
}

void* lookup(const IdentEntry* name) {
  SysVar* rec = is_sysvar(name);
  return rec ? rec : is_vmsv1_sysvar(name);
}

const char* prompt() { return sysv_string(prompt_sysvar); }
const char* dir() { return sysv_string(find_sysvar("!DIR")); }

// A string tag of !VERSION ("RELEASE", "OS", "ARCH").
const char* version_field(const char* tag) {
  Variable* v = sysv_variable(find_sysvar("!VERSION"));
  int i = find_tag(v->sdef(), ident_hash(tag, 0, IDENT_LOOKUP | IDENT_UPCASE, MSG_LONGJMP));
  if (i < 0 || v->sdef()->tags[i].desc.type != TYP_STRING) return nullptr;
  const auto* s = reinterpret_cast<const StringDesc*>(v->arr()->data + v->sdef()->tags[i].offset);
  return s->length ? s->chars : "";
}

void new_path(SysVar*) { path_changed(); }

}  // namespace

void init_system_variables() {
  init_sysvars();
  register_graphics_sysvars();
  interp_hooks.load_sysvar = load;
  interp_hooks.store_sysvar = store;
  interp_hooks.sysvar_variable = in_place;
  compiler_hooks.find_sysvar = lookup;
  startup_hooks.prompt = prompt;
  process_hooks.dir = dir;
  process_hooks.version_field = version_field;
  bind_sysvar("!EDIT_INPUT", &edit_input);
  bind_sysvar("!MORE", &sysv_more);
  bind_sysvar("!JOURNAL", &journal_file);
  bind_sysvar("!PATH", &vek_path);
  set_sysvar_notify("!PATH", new_path);
}
