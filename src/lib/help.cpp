// HELP: descriptions of variables (the current routine's, or the arguments), and the
// listings of memory, files, compiled routines, structures, recalled commands and keys,
// all through the pager.
#include "lib/help.h"

#include <cstdio>
#include <string>
#include <vector>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "compiler/program_areas.h"
#include "interp/frames.h"
#include "io/files.h"
#include "term/rline.h"
#include "term/tout.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/struct.h"
#include "lib/sysvars.h"
#include "values/temps.h"

namespace {

constexpr int kNameWidth = 15;
constexpr size_t kMaxShownString = 45;

bool put(const std::string& line) {
  if (tout_quit()) return false;
  tout(TOUT_PAGED | TOUT_NL, line.data(), static_cast<int>(line.size()));
  return !tout_quit();
}

std::string dims_text(const ArrayDesc* a) {
  std::string s = "Array[";
  for (int d = 0; d < a->n_dim; d++) {
    if (d) s += ", ";
    s += std::to_string(a->dims[d]);
  }
  return s + "]";
}

// What follows "= " for a value: a scalar in its default layout (strings quoted and
// cut), the shape of an array, the structure's name, or "<Undefined>".
std::string value_text(const Variable* v) {
  if (v->type == TYP_UNDEF) return oform[TYP_UNDEF];
  if (v->is_struct()) return std::string("-> ") + struct_print_name(v->sdef()) + " " + dims_text(v->arr());
  if (v->is_file()) return "File<" + std::to_string(v->arr()->unit) + "> " + dims_text(v->arr());
  if (v->is_array()) return dims_text(v->arr());
  char buf[128];
  switch (v->type) {
    case TYP_BYTE: snprintf(buf, sizeof buf, oform[TYP_BYTE], v->value.c); break;
    case TYP_INT: snprintf(buf, sizeof buf, oform[TYP_INT], v->value.i); break;
    case TYP_LONG: snprintf(buf, sizeof buf, oform[TYP_LONG], static_cast<long>(v->value.l)); break;
    case TYP_FLOAT: snprintf(buf, sizeof buf, oform[TYP_FLOAT], static_cast<double>(v->value.f)); break;
    case TYP_DOUBLE: snprintf(buf, sizeof buf, oform[TYP_DOUBLE], v->value.d); break;
    case TYP_COMPLEX:
      snprintf(buf, sizeof buf, oform[TYP_COMPLEX], static_cast<double>(v->value.cmp.r),
               static_cast<double>(v->value.cmp.i));
      break;
    case TYP_STRING: {
      std::string s(str_chars(v->value.str), v->value.str.length);
      if (s.size() > kMaxShownString) s = s.substr(0, kMaxShownString) + "...";
      return "'" + s + "'";
    }
    default: buf[0] = 0;
  }
  return buf;
}

// "NAME            TYPE      = value"; a name too long for its column gets a line of
// its own.
bool describe(const std::string& name, const Variable* v) {
  std::string rest = std::string(type_name[v->type]) + " = " + value_text(v);
  if (name.size() > static_cast<size_t>(kNameWidth)) {
    if (!put(name)) return false;
    return put(std::string(kNameWidth + 1, ' ') + rest);
  }
  return put(name + std::string(static_cast<size_t>(kNameWidth) + 1 - name.size(), ' ') + rest);
}

// The storage of a variable-table entry in frame f, or null when it has none yet.
Variable* entry_storage(Frame* f, const VarEntry* e) {
  if (e->slot == SLOT_UNASSIGNED) return nullptr;
  const uint32_t index = e->slot / sizeof(Variable);
  if (e->common) return index < static_cast<uint32_t>(e->common->count) ? e->common->vars + index : nullptr;
  if (index < f->routine->n_params) return f->params[index];
  if (index >= f->var_capacity) return nullptr;
  return f->vars + index;
}

void list_frame_variables() {
  Frame* f = curr_frame;
  if (!f || !f->routine || !f->routine->data) return;
  CodeBlock* r = f->routine;
  for (uint16_t off = r->var_head; off; off = var_entry(r, off)->next) {
    const VarEntry* e = var_entry(r, off);
    if (!e->ident) continue;
    Variable* v = entry_storage(f, e);
    if (v && !describe(e->ident->name, v)) return;
  }
}

// A routine's formal parameters: positional ones by name, keyword ones by keyword.
std::string formals_text(CodeBlock* r) {
  std::vector<std::string> names(r->n_params);
  for (uint16_t off = r->var_head; off; off = var_entry(r, off)->next) {
    const VarEntry* e = var_entry(r, off);
    const uint32_t index = e->slot / sizeof(Variable);
    if (e->ident && !e->common && e->slot != SLOT_UNASSIGNED && index < r->n_params) names[index] = e->ident->name;
  }
  std::string s;
  for (uint32_t i = 0; i < r->n_params; i++) {
    IdentEntry* kw = r->kw_formals()[i];
    s += " " + std::string(kw ? kw->name : names[i].c_str());
  }
  return s;
}

bool list_routines(SearchTable* table, const char* title) {
  if (!put(title)) return false;
  if (!table) return true;
  for (uint32_t i = 0; i < table->count; i++) {
    auto* r = static_cast<CodeBlock*>(table->entries[i]);
    if (!r->compiled()) continue;
    std::string line = r->name_str();
    line.resize(std::max<size_t>(line.size(), kNameWidth), ' ');
    if (!put(line + formals_text(r))) return false;
  }
  return true;
}

void list_structures(int n, Variable* args[]) {
  std::vector<std::string> lines;
  if (n == 0) {
    if (global_struct_table)
      for (uint32_t i = 0; i < global_struct_table->count; i++)
        helpstruct(static_cast<StructDef*>(global_struct_table->entries[i]), nullptr, lines);
  }
  for (int i = 0; i < n; i++) {
    Variable* v = args[i];
    if (v->is_struct())
      helpstruct(v->sdef(), v->arr()->data, lines);
    else if (!describe(v->is_unnamed() ? "<Expression>" : varname(v), v))
      return;
  }
  for (const std::string& l : lines)
    if (!put(l)) return;
}

// HELP's keywords, each a bit of `selected`.
enum : uint32_t {
  kFiles = 1,
  kKeys = 2,
  kMemory = 4,
  kRecall = 8,
  kRoutines = 16,
  kStructures = 32,
  kSystemVariables = 64,
};
uint32_t selected = 0;
const KwEntry help_keywords[] = {
    {"FILES", TYP_LONG, 1, KW_BITFLAG | kFiles, nullptr, &selected},
    {"KEYS", TYP_LONG, 1, KW_BITFLAG | kKeys, nullptr, &selected},
    {"MEMORY", TYP_LONG, 1, KW_BITFLAG | kMemory, nullptr, &selected},
    {"RECALL_COMMANDS", TYP_LONG, 1, KW_BITFLAG | kRecall, nullptr, &selected},
    {"ROUTINES", TYP_LONG, 1, KW_BITFLAG | kRoutines, nullptr, &selected},
    {"STRUCTURES", TYP_LONG, 1, KW_BITFLAG | kStructures, nullptr, &selected},
    {"SYSTEM_VARIABLES", TYP_LONG, 1, KW_BITFLAG | kSystemVariables, nullptr, &selected},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

}  // namespace

void ur_help(int argc, Variable* argv[], KwNames argk) {
  selected = 0;
  std::vector<Variable*> args(static_cast<size_t>(argc));
  const int n = get_kw_params(argc, argv, argk, help_keywords, args.data(), 1);
  tout_more_reset();
  if (selected & kMemory) {
    char buf[160];
    help_vm(buf, sizeof buf);
    if (!put(buf)) return;
  }
  if (selected & kSystemVariables) {
    helpsy([](const char* line) { put(line); });
    if (tout_quit()) return;
  }
  if (selected & kFiles) {
    std::vector<int> units;
    for (int i = 0; i < n; i++) units.push_back(long_scalar(args[static_cast<size_t>(i)]));
    helpfiles(static_cast<int>(units.size()), units.data());
    if (tout_quit()) return;
  }
  if (selected & kRoutines) {
    if (!list_routines(uprotab, "Compiled Procedures:") || !list_routines(ufuntab, "Compiled Functions:")) return;
  }
  if (selected & kStructures) {
    list_structures(n, args.data());
    if (tout_quit()) return;
  }
  if (selected & kRecall) rbuf_help();
  if (selected & kKeys) display_fkeys(n, args.data(), false);
  if (selected) return;
  if (n == 0) {
    list_frame_variables();
    if (!list_routines(uprotab, "Compiled Procedures:")) return;
    list_routines(ufuntab, "Compiled Functions:");
    return;
  }
  for (int i = 0; i < n; i++) {
    Variable* v = args[static_cast<size_t>(i)];
    if (!describe(v->is_unnamed() ? "<Expression>" : varname(v), v)) return;
  }
}

const RoutineEntry help_procedures[] = {{ur_help, "HELP", 0, 100, true}};
const int n_help_procedures = 1;
