#include "interp/frames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/interpreter.h"
#include "interp/routines.h"
#include "values/element_ops.h"
#include "values/ident.h"
#include "values/struct.h"
#include "values/temps.h"

Frame* curr_frame = nullptr;
Frame* main_frame = nullptr;

namespace {

constexpr size_t kVarSize = sizeof(Variable);

size_t align8(size_t n) { return (n + 7) & ~size_t{7}; }

uint8_t* first_block = nullptr;

// Bytes a frame of this unit needs, margin excluded.
size_t frame_bytes(uint32_t n_vars, uint32_t n_params) {
  return align8(sizeof(Frame)) + align8(sizeof(Variable*) * n_params) + kVarSize * n_vars;
}

uint8_t* vars_end(const Frame* f) {
  uint32_t n = f->routine ? f->routine->n_vars : 0;
  return reinterpret_cast<uint8_t*>(f->vars) + kVarSize * n;
}

bool code_contains(const CodeBlock* cb, const uint8_t* p) {
  return cb && cb->code && p >= cb->code && p < cb->code + cb->code_cap;
}

void clear_undefined(Variable* v, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    v[i].type = TYP_UNDEF;
    v[i].flags = 0;
    v[i].value.d = 0;
    v[i].value.s.sdef = nullptr;
  }
}

// FOR-loop state lies in each FOR_INIT(_STEP) instruction: bytes 8-23 (24-31 with a step).
int for_state_bytes(const uint8_t* inst) { return inst[0] == OP_FOR_INIT_STEP ? 24 : 16; }

template <typename F>
void walk_for_chain(CodeBlock* cb, F&& visit) {
  uint32_t off = cb->for_chain;
  int guard = 0;
  while (off && off < cb->code_len && guard++ < 65536) {
    uint8_t* inst = cb->code + off;
    if (inst[0] != OP_FOR_INIT && inst[0] != OP_FOR_INIT_STEP) break;
    visit(inst);
    off = inst_u16(inst, 4);
  }
}

void save_for_state(Frame* f) {
  CodeBlock* cb = f->routine;
  size_t bytes = 0;
  walk_for_chain(cb, [&](uint8_t* inst) { bytes += static_cast<size_t>(for_state_bytes(inst)); });
  if (!bytes) return;
  auto* save = static_cast<uint64_t*>(counting_malloc(bytes));
  if (!save) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Recursive call frame");
  auto* p = reinterpret_cast<uint8_t*>(save);
  walk_for_chain(cb, [&](uint8_t* inst) {
    int n = for_state_bytes(inst);
    memcpy(p, inst + 8, static_cast<size_t>(n));
    memset(inst + 8, 0, static_cast<size_t>(n));
    p += n;
  });
  f->recursion_save = save;
}

void restore_for_state(Frame* f) {
  CodeBlock* cb = f->routine;
  if (f->recursion_save) {
    auto* p = reinterpret_cast<uint8_t*>(f->recursion_save);
    walk_for_chain(cb, [&](uint8_t* inst) {
      int n = for_state_bytes(inst);
      memcpy(inst + 8, p, static_cast<size_t>(n));
      p += n;
    });
    counting_free(f->recursion_save);
    f->recursion_save = nullptr;
  } else if (!f->recursive) {
    // The last activation ends: loop variable pointers into this frame must not
    // outlive it (a later GOTO into a loop body then reports -91).
    walk_for_chain(cb, [](uint8_t* inst) { memset(inst + 8, 0, 8); });
  }
  if (!f->recursive) cb->flags &= ~CB_ACTIVE;
}

// allocate_frame sets every field of a new Frame: keep it in step with the record.
static_assert(sizeof(Frame) == 152, "Frame changed: update allocate_frame");

// Places a frame for `routine` after the current frame's variables.
Frame* allocate_frame(CodeBlock* routine) {
  Frame* caller = curr_frame;
  size_t need = frame_bytes(routine->n_vars, routine->n_params) + FRAME_MARGIN;
  uint8_t* start = reinterpret_cast<uint8_t*>(align8(reinterpret_cast<uintptr_t>(vars_end(caller))));
  uint8_t* end = caller->block_end;
  uint8_t* own = nullptr;
  if (start + need > end) {
    size_t size = need > FRAME_BLOCK_SIZE ? need : FRAME_BLOCK_SIZE;
    own = static_cast<uint8_t*>(counting_malloc(size));
    if (!own) message(M_NO_MEMORY, errno, MSG_LONGJMP, "Creating new procedure frame.");
    start = own;
    end = own + size;
  }
  auto* f = reinterpret_cast<Frame*>(start);
  // Field by field: a whole-record clear costs a string instruction on every call.
  f->return_pc = nullptr;
  f->current_stmt = nullptr;
  f->recursion_save = nullptr;
  f->cont_pc = nullptr;
  f->ioerror_target = nullptr;
  f->interactive = 0;
  f->flag_byte = 0;
  f->on_error_set = 0;
  f->catch_transient = 0;
  f->on_error = 0;
  f->n_positional = 0;
  f->catch_var = nullptr;
  f->catch_pc = nullptr;
  f->temps_mark = nullptr;
  f->depth = 0;
  f->recursive = 0;
  f->return_gen = 0;
  f->routine = routine;
  f->caller = caller;
  f->arg_base = nullptr;
  f->stmt_sp = nullptr;
  f->own_block = own;
  f->block_end = end;
  f->params = reinterpret_cast<Variable**>(start + align8(sizeof(Frame)));
  f->vars = reinterpret_cast<Variable*>(reinterpret_cast<uint8_t*>(f->params) +
                                        align8(sizeof(Variable*) * routine->n_params));
  f->var_capacity = static_cast<uint32_t>((end - reinterpret_cast<uint8_t*>(f->vars)) / kVarSize);
  return f;
}

void free_frame_block(Frame* f) {
  if (f->own_block) counting_free(f->own_block);
}

const char* kw_formal_name(CodeBlock* r, uint32_t i) {
  IdentEntry* e = r->kw_formals()[i];
  return e ? e->name : nullptr;
}

// Binds argument `arg` to formal p: named variables by reference, values by copy.
void bind_param(Frame* f, uint32_t p, Variable* arg) {
  if (!(arg->flags & FLAG_UNNAMED)) {
    f->params[p] = arg;
    return;
  }
  Variable* slot = &f->vars[p];
  if (slot->flags & FLAG_DYNAMIC) delvar(slot);
  *slot = *arg;
  if (arg->flags & FLAG_TEMPORARY) {
    slot->flags &= static_cast<uint8_t>(~FLAG_TEMPORARY);
    arg->type = TYP_UNDEF;
    arg->flags = FLAG_TEMPORARY;
    freetmp(arg);
  } else {
    // A constant's copy is an ordinary variable whose string (if any) stays in the code.
    slot->flags &= static_cast<uint8_t>(~(FLAG_CONSTANT | FLAG_DYNAMIC));
  }
  f->params[p] = slot;
}

// Finds the keyword formal the given name abbreviates, scanning from `from`.
// Returns the formal index or -1.
int match_keyword_formal(CodeBlock* r, const char* given, uint32_t from) {
  size_t len = strlen(given);
  for (uint32_t i = from; i < r->n_params; i++) {
    const char* kw = kw_formal_name(r, i);
    if (!kw) continue;
    int c = strncmp(kw, given, len);
    if (c < 0) continue;
    if (c > 0) return -1;
    if (i + 1 < r->n_params) {
      const char* next = kw_formal_name(r, i + 1);
      if (next && strncmp(next, given, len) == 0) message(M_KW_AMBIGUOUS, 0, MSG_LONGJMP, given);
    }
    return static_cast<int>(i);
  }
  return -1;
}

int extra_formal(CodeBlock* r) {
  for (uint32_t i = 0; i < r->n_params; i++) {
    const char* kw = kw_formal_name(r, i);
    if (kw && strcmp(kw, "_EXTRA") == 0) return static_cast<int>(i);
  }
  return -1;
}

// A temporary holding the value of field `t` of record `rec`.
Variable* tag_value(const TagEntry& t, uint8_t* rec) {
  Variable* v = gettmp();
  uint8_t* data = rec + t.offset;
  if (t.desc.flags & FLAG_HAS_DESC) {
    const ArrayDesc* shape = t.desc.value.s.arr;
    v->type = t.desc.type;
    if (t.desc.flags & FLAG_STRUCT) {
      // A nested structure field is a record of its own definition.
      StructDef* sd = t.desc.value.s.sdef;
      int32_t one = 1;
      if (t.desc.flags & FLAG_ARRAY) {
        make_array_like(shape, v, static_cast<int>(shape->elem_size));
      } else {
        make_array(1, &one, v, sd->length);
      }
      v->value.s.sdef = sd;
      v->flags |= FLAG_STRUCT;
      ArrayDesc* a = v->value.s.arr;
      memcpy(a->data, data, a->byte_len);
      dup_str_struct(sd, a->data, a->n_elts);
      if (is_anonymous(sd)) struct_add_ref(sd);
      return v;
    }
    make_array_like(shape, v, static_cast<int>(shape->elem_size));
    ArrayDesc* a = v->value.s.arr;
    memcpy(a->data, data, a->byte_len);
    if (v->type == TYP_STRING) {
      auto* s = reinterpret_cast<StringDesc*>(a->data);
      for (uint32_t i = 0; i < a->n_elts; i++) {
        if (s[i].length) {
          char* c = static_cast<char*>(counting_malloc(s[i].length + 1u));
          if (!c) message(M_NO_MEMORY, errno, MSG_LONGJMP, "keyword structure");
          memcpy(c, s[i].chars, s[i].length);
          c[s[i].length] = 0;
          s[i].chars = c;
          s[i].owned = 1;
        } else {
          s[i] = StringDesc{0, 0, nullptr};
        }
      }
    }
    return v;
  }
  v->type = t.desc.type;
  if (v->type == TYP_STRING) {
    StringDesc s;
    memcpy(&s, data, sizeof s);
    v->value.str = StringDesc{0, 0, nullptr};
    if (s.length) {
      char* c = static_cast<char*>(counting_malloc(s.length + 1u));
      if (!c) message(M_NO_MEMORY, errno, MSG_LONGJMP, "keyword structure");
      memcpy(c, s.chars, s.length);
      c[s.length] = 0;
      v->value.str = StringDesc{s.length, 1, c};
      v->flags |= FLAG_DYNAMIC;
    }
  } else {
    memcpy(&v->value, data, static_cast<size_t>(type_size[v->type]));
  }
  return v;
}

struct ExtraKeyword {
  const char* name;
  Variable* value;
};

void spread_extra_structure(Frame* f, CodeBlock* r, Variable* s, std::vector<ExtraKeyword>& extras,
                            std::vector<Variable*>& owned) {
  if (!(s->flags & FLAG_STRUCT)) message(M_NOT_STRUCT, 0, MSG_LONGJMP, varname(s));
  StructDef* sd = s->value.s.sdef;
  uint8_t* rec = s->value.s.arr->data;
  bool has_extra = r->flags & CB_EXTRA;
  for (int i = 0; i < sd->n_tags; i++) {
    const TagEntry& t = sd->tags[i];
    const char* tag = t.tag->ident->name;
    int k = match_keyword_formal(r, tag, 0);
    if (k >= 0 && strcmp(kw_formal_name(r, static_cast<uint32_t>(k)), "_EXTRA") == 0) k = -1;
    if (k < 0 && !has_extra) message(M_KW_NOT_ALLOWED, 0, MSG_LONGJMP, tag, r->name_str());
    Variable* v = tag_value(t, rec);
    if (k < 0) {
      owned.push_back(v);
      extras.push_back({tag, v});
      continue;
    }
    bind_param(f, static_cast<uint32_t>(k), v);
  }
}

// Binds a call's arguments when some are given by keyword (names[i] non-empty), with
// "_EXTRA" spreading and gathering.
void bind_keywords(Frame* f, CodeBlock* routine, int argc, const char* const* names, Variable** args) {
  std::vector<ExtraKeyword> extras;
  std::vector<Variable*> owned;  // extra values taken from an _EXTRA structure
  try {
    uint32_t next_pos = 0;
    uint32_t kw_from = 0;
    Variable* extra_struct = nullptr;
    for (int i = 0; i < argc; i++) {
      const char* name = names[i];
      Variable* arg = args[i];
      if (!name[0]) {
        if (next_pos >= routine->n_params) message(M_TOO_MANY_PARAMS, 0, MSG_LONGJMP, routine->name_str());
        if (kw_formal_name(routine, next_pos)) message(M_WRONG_ARG_COUNT, 0, MSG_LONGJMP, routine->name_str());
        bind_param(f, next_pos, arg);
        kw_from = ++next_pos;
        continue;
      }
      f->n_positional--;
      if (name[0] == '0') {
        // An undefined _EXTRA (a caller's own _EXTRA given no extra keywords) adds nothing.
        if (arg->type != TYP_UNDEF) extra_struct = arg;
        continue;
      }
      int k = match_keyword_formal(routine, name, kw_from);
      if (k < 0) {
        if (!(routine->flags & CB_EXTRA)) message(M_KW_NOT_ALLOWED, 0, MSG_LONGJMP, name, routine->name_str());
        extras.push_back({name, arg});
        continue;
      }
      bind_param(f, static_cast<uint32_t>(k), arg);
      kw_from = static_cast<uint32_t>(k) + 1;
    }
    if (extra_struct) spread_extra_structure(f, routine, extra_struct, extras, owned);
    if (!extras.empty()) {
      int k = extra_formal(routine);
      if (k >= 0) {
        std::vector<Variable*> values;
        std::vector<IdentEntry*> tags;
        for (auto& e : extras) {
          values.push_back(e.value);
          tags.push_back(ident_hash(e.name, 0, IDENT_UPCASE, MSG_LONGJMP));
        }
        // Temporaries among the values (and those taken from an _EXTRA structure)
        // are consumed by the new structure.
        owned.clear();
        Variable* s = make_struc(values.data() + values.size() - 1, static_cast<int>(values.size()), nullptr,
                                 tags.data(), true, false);
        bind_param(f, static_cast<uint32_t>(k), s);
      }
    }
  } catch (...) {
    for (Variable* v : owned) deltmp(v);
    throw;
  }
}

}  // namespace

bool frame_fits(uint32_t n_vars, uint32_t n_params) {
  return frame_bytes(n_vars, n_params) + FRAME_MARGIN < FRAME_BLOCK_SIZE;
}

void init_frames(CodeBlock* main_program) {
  if (!first_block) {
    first_block = static_cast<uint8_t*>(counting_malloc(FRAME_BLOCK_SIZE));
    if (!first_block) message(M_NO_MEMORY, errno, MSG_EXIT, "Creating new procedure frame.");
  }
  auto* f = reinterpret_cast<Frame*>(first_block);
  memset(f, 0, sizeof(Frame));
  f->routine = main_program;
  f->block_end = first_block + FRAME_BLOCK_SIZE;
  f->params = reinterpret_cast<Variable**>(first_block + align8(sizeof(Frame)));
  f->vars = reinterpret_cast<Variable*>(f->params);
  f->var_capacity = static_cast<uint32_t>((f->block_end - reinterpret_cast<uint8_t*>(f->vars)) / kVarSize);
  clear_undefined(f->vars, f->var_capacity);
  f->arg_base = istack_base();
  f->stmt_sp = istack_base();
  main_frame = curr_frame = f;
}

int frame_add_variable(CodeBlock* unit, uint32_t slot_offset) {
  int active = 0;
  Frame* live = nullptr;
  for (Frame* f = curr_frame; f; f = f->caller) {
    if (f->routine == unit) {
      active++;
      if (!live) live = f;
    }
  }
  if (!live) return 0;
  if (active >= 2) return M_TOO_MANY_LOCALS;
  if (live == main_frame && curr_frame != main_frame) return M_MAIN_WHILE_ACTIVE;
  uint32_t index = slot_offset / kVarSize;
  if (live != curr_frame || index >= live->var_capacity) return M_TOO_MANY_LOCALS;
  clear_undefined(&live->vars[index], 1);
  return 0;
}

uint8_t* call_user_proc(CodeBlock* routine, int argc, const char* const* names, uint8_t* return_pc,
                        Variable** sp, bool is_function, uint8_t flag_byte) {
  if (!routine->compiled()) compile_on_call(routine);
  if (!routine->compiled()) message(M_UNDEFINED_ROUTINE, 0, MSG_LONGJMP, routine->name_str());
  bool has_keywords = false;
  if (names)
    for (int i = 0; i < argc; i++)
      if (names[i][0]) has_keywords = true;
  if (static_cast<uint32_t>(argc) > routine->n_params && !(routine->flags & CB_EXTRA))
    message(M_TOO_MANY_PARAMS, 0, MSG_LONGJMP, routine->name_str());
  if (has_keywords && !(routine->flags & CB_KEYWORDS)) message(M_NO_KEYWORDS, 0, MSG_LONGJMP);
  if (routine->is_function() != is_function) message(M_PROC_FUN_MISMATCH, 0, MSG_LONGJMP);
  if (curr_frame->depth + 1 >= MAX_CALL_DEPTH)
    message(M_GENERIC, 0, MSG_LONGJMP, "Recursion too deep: more than 100000 active routine calls.");

  Frame* caller = curr_frame;
  Frame* f = allocate_frame(routine);
  caller->return_pc = return_pc;
  f->routine = routine;
  f->caller = caller;
  f->arg_base = sp - argc;
  f->stmt_sp = sp;
  f->on_error = caller->on_error;
  f->n_positional = static_cast<int16_t>(argc);
  f->flag_byte = flag_byte;
  f->depth = caller->depth + 1;
  clear_undefined(f->vars, routine->n_vars);
  for (uint32_t i = 0; i < routine->n_params; i++) f->params[i] = &f->vars[i];

  // Bind. Until the frame is current, an error leaves nothing behind but the block.
  try {
    Variable** args = sp - argc + 1;
    if (names) {
      bind_keywords(f, routine, argc, names, args);
    } else {
      // Positional arguments only, the common case.
      for (int i = 0; i < argc; i++) {
        uint32_t p = static_cast<uint32_t>(i);
        if (p >= routine->n_params) message(M_TOO_MANY_PARAMS, 0, MSG_LONGJMP, routine->name_str());
        if (kw_formal_name(routine, p)) message(M_WRONG_ARG_COUNT, 0, MSG_LONGJMP, routine->name_str());
        Variable* arg = args[i];
        if (arg->flags & FLAG_UNNAMED) bind_param(f, p, arg);
        else f->params[p] = arg;  // a named variable, by reference
      }
    }
  } catch (...) {
    for (uint32_t i = 0; i < routine->n_vars; i++)
      if (f->vars[i].flags & FLAG_DYNAMIC) delvar(&f->vars[i]);
    free_frame_block(f);
    throw;
  }

  if (routine->flags & CB_ACTIVE) {
    f->recursive = 1;
    try {
      save_for_state(f);
    } catch (...) {
      for (uint32_t i = 0; i < routine->n_vars; i++)
        if (f->vars[i].flags & FLAG_DYNAMIC) delvar(&f->vars[i]);
      free_frame_block(f);
      throw;
    }
  } else {
    routine->flags |= CB_ACTIVE;
  }
  f->temps_mark = mark_temps(nullptr);
  f->current_stmt = nullptr;
  curr_frame = f;
  return routine->code;
}

uint8_t* return_user_proc(Variable** sp, Variable*** sp_out, bool from_return_all) {
  Frame* f = curr_frame;
  if (f == main_frame || !f->caller) message(M_RETURN_FROM_MAIN, 0, MSG_LONGJMP);
  CodeBlock* r = f->routine;
  Variable* result = nullptr;
  if (r->is_function() && !from_return_all) {
    result = *sp--;
    if (sp != f->stmt_sp)
      message(M_INTERNAL, 0, MSG_LONGJMP, "Interpreter stack not aligned properly during user return");
  }
  restore_for_state(f);

  Variable* vars_lo = f->vars;
  Variable* vars_hi = f->vars + f->routine->n_vars;
  for (Variable* v = vars_lo; v < vars_hi; v++) {
    if (v == result) {
      Variable* t = gettmp();
      t->type = v->type;
      t->value = v->value;
      t->flags = static_cast<uint8_t>(v->flags | FLAG_TEMPORARY);
      v->type = TYP_UNDEF;
      v->flags = 0;
      result = t;
      continue;
    }
    if (v->flags & FLAG_DYNAMIC) {
      try {
        delvar(v);
      } catch (const VekJump&) {
        v->type = TYP_UNDEF;
        v->flags = 0;
      }
    }
  }
  // The callee's temporaries go, except the result, which becomes the caller's newest.
  TempList* mark = f->temps_mark;
  f->temps_mark = nullptr;
  bool keep = result && (result->flags & FLAG_TEMPORARY);
  if (!(keep && !mark && sole_temp(result))) {
    if (keep) detach_temp(result);
    int left = temp_list_handler(2);
    if (left && !from_return_all) message(M_TEMPS_CHECKED_OUT, 0, MSG_INFO);
    if (mark) mark_temps(mark);
    if (keep) attach_temp(result);
  }

  Variable** base = f->arg_base;
  if (result) *++base = result;
  if (sp_out) *sp_out = base;
  Frame* caller = f->caller;
  free_frame_block(f);
  curr_frame = caller;
  return caller->return_pc;
}

void return_all(Frame* target) {
  if (!target) target = main_frame;
  while (curr_frame != target && curr_frame != main_frame) {
    temp_list_handler(2);
    Variable** out = nullptr;
    return_user_proc(curr_frame->stmt_sp, &out, true);
    istate.sp = out;
  }
}

void delete_vars() {
  Frame* f = main_frame;
  if (!f) return;
  uint32_t n = f->routine ? f->routine->n_vars : 0;
  for (uint32_t i = 0; i < n && i < f->var_capacity; i++) {
    Variable* v = &f->vars[i];
    if (v->flags & FLAG_DYNAMIC) {
      try {
        delvar(v);
      } catch (const VekJump&) {
      }
    }
    v->type = TYP_UNDEF;
    v->flags = 0;
  }
}

// ---- Built-ins on the current frame ------------------------------------------------

namespace {

int32_t scalar_as_long(const Variable* v) {
  if (v->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(v));
  if (v->flags & FLAG_HAS_DESC) message(M_NOT_SCALAR, 0, MSG_LONGJMP, varname(v));
  const Value& x = v->value;
  switch (v->type) {
    case TYP_BYTE: return x.c;
    case TYP_INT: return x.i;
    case TYP_LONG: return x.l;
    case TYP_FLOAT: return elem::trunc_to_long(x.f);
    case TYP_DOUBLE: return elem::trunc_to_long(x.d);
    case TYP_COMPLEX: return elem::trunc_to_long(x.cmp.r);
    default: message(M_CONVERT, 0, MSG_LONGJMP, type_name[v->type], "LONG");
  }
  return 0;
}

bool abbreviates(const char* given, const char* keyword) {
  size_t n = strlen(given);
  return n && strncmp(given, keyword, n) == 0;
}

}  // namespace

Variable* ur_n_params(int, Variable*[], KwNames) {
  int16_t n = curr_frame ? curr_frame->n_positional : 0;
  return make_scalar_temp(TYP_INT, &n);
}

Variable* ur_keyword_set(int, Variable* argv[], KwNames) {
  Variable* x = argv[0];
  int16_t r = (x->flags & FLAG_ARRAY) ? 1 : (variable_true(x) ? 1 : 0);
  return make_scalar_temp(TYP_INT, &r);
}

void ur_on_error(int argc, Variable* argv[], KwNames) {
  int32_t n = 0;
  if (argc > 0) {
    n = scalar_as_long(argv[0]);
    if (n < 0 || n > 3) message(M_VALUE_RANGE, 0, MSG_LONGJMP, varname(argv[0]));
  }
  curr_frame->on_error = static_cast<int16_t>(n);
  curr_frame->on_error_set = 1;
}

void ur_catch(int argc, Variable* argv[], KwNames argk) {
  Frame* f = curr_frame;
  Variable* target = nullptr;
  bool cancel = false;
  for (int i = 0; i < argc; i++) {
    const char* name = argk ? argk[i] : "";
    if (!name[0]) {
      if (target) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
      target = argv[i];
    } else if (abbreviates(name, "CANCEL")) {
      cancel = variable_true(argv[i]);
    } else {
      message(M_KW_NOT_ALLOWED, 0, MSG_LONGJMP, name, "CATCH");
    }
  }
  if (cancel) {
    f->catch_var = nullptr;
    f->catch_pc = nullptr;
    return;
  }
  if (!target) return;
  try {
    if (target->flags & FLAG_UNNAMED) message(M_NOT_NAMED, 0, MSG_LONGJMP, varname(target));
    int32_t zero = 0;
    store_scalar(target, TYP_LONG, &zero);
  } catch (const VekJump&) {
    f->catch_var = nullptr;
    f->catch_pc = nullptr;
    message(M_CATCH_EXCEPTION, 0, MSG_LONGJMP);
  }
  f->catch_var = target;
  f->catch_pc = istate.resume_pc;
  f->catch_transient = !code_contains(f->routine, istate.resume_pc);
}

void ur_exit(int, Variable*[], KwNames) { int_interrupt = IR_EXIT; }

void ur_delvar(int argc, Variable* argv[], KwNames) {
  if (curr_frame != main_frame) {
    message(M_MAIN_LEVEL_ONLY, 0, MSG_LONGJMP, argc ? varname(argv[0]) : "");
  }
  Frame* f = main_frame;
  CodeBlock* mp = f->routine;
  bool deleted = false;
  for (int i = 0; i < argc; i++) {
    Variable* v = argv[i];
    Variable* lo = f->vars;
    Variable* hi = f->vars + mp->n_vars;
    if ((v->flags & FLAG_UNNAMED) || v < lo || v >= hi) {
      message(M_NOT_NAMED, 0, MSG_CONTINUE, varname(v));
      continue;
    }
    uint16_t slot = static_cast<uint16_t>((v - lo) * kVarSize);
    // Unlink the entry from the name-ordered list and put it on the free list.
    uint16_t prev = 0;
    uint16_t off = mp->var_head;
    while (off) {
      VarEntry* e = var_entry(mp, off);
      if (!e->common && e->slot == slot) {
        if (prev) {
          var_entry(mp, prev)->next = e->next;
        } else {
          mp->var_head = e->next;
        }
        e->next = mp->free_head;
        e->ident = nullptr;
        e->slot = SLOT_UNASSIGNED;
        mp->free_head = off;
        break;
      }
      prev = off;
      off = e->next;
    }
    if (v->flags & FLAG_DYNAMIC) delvar(v);
    v->type = TYP_UNDEF;
    v->flags = 0;
    v->value.s.sdef = nullptr;
    v->value.d = 0;
    deleted = true;
  }
  if (!deleted) return;
  // Renumber the remaining local variables in slot order, moving their values down.
  std::vector<VarEntry*> locals;
  for (uint16_t off = mp->var_head; off; off = var_entry(mp, off)->next) {
    VarEntry* e = var_entry(mp, off);
    if (!e->common && e->slot != SLOT_UNASSIGNED) locals.push_back(e);
  }
  std::sort(locals.begin(), locals.end(), [](VarEntry* a, VarEntry* b) { return a->slot < b->slot; });
  uint32_t n = 0;
  for (VarEntry* e : locals) {
    uint16_t new_slot = static_cast<uint16_t>(n * kVarSize);
    if (new_slot != e->slot) {
      Variable* from = frame_var(f, e->slot);
      Variable* to = frame_var(f, new_slot);
      *to = *from;
      from->type = TYP_UNDEF;
      from->flags = 0;
      e->slot = new_slot;
    }
    n++;
  }
  clear_undefined(&f->vars[n], mp->n_vars > n ? mp->n_vars - n : 0);
  mp->n_vars = n;
  // Compiled main-program code refers to the old slots: empty it.
  mp->code_len = 0;
  mp->for_chain = 0;
  mp->last_source = NO_SOURCE;
  if (mp->code) mp->code[0] = OP_END;
  int_interrupt = IR_STOP_QUIET;
}

bool frame_varname_lookup(const Variable* var, VarNameInfo* out) {
  for (Frame* f = curr_frame; f; f = f->caller) {
    CodeBlock* r = f->routine;
    if (!r || !r->data) continue;
    uint32_t n = r->n_vars;
    int64_t slot = -1;
    if (var >= f->vars && var < f->vars + n) slot = (var - f->vars) * static_cast<int64_t>(kVarSize);
    for (uint32_t i = 0; slot < 0 && i < r->n_params; i++)
      if (f->params[i] == var) slot = static_cast<int64_t>(i * kVarSize);
    for (uint16_t off = r->var_head; off; off = var_entry(r, off)->next) {
      VarEntry* e = var_entry(r, off);
      if (!e->ident) continue;
      if (e->common) {
        CommonBlock* cb = e->common;
        if (cb->vars && var >= cb->vars && var < cb->vars + cb->count &&
            static_cast<uint32_t>((var - cb->vars) * kVarSize) == e->slot) {
          out->name = e->ident->name;
          out->common = cb->name ? cb->name->name : "";
          return true;
        }
      } else if (slot >= 0 && e->slot == slot) {
        out->name = e->ident->name;
        out->common = nullptr;
        return true;
      }
    }
  }
  return false;
}

// ---- Registration ------------------------------------------------------------------

namespace {

// EXECUTE with one argument compiles to the EXECUTE instruction; the entry exists so
// that the name is known as a system function.
Variable* ur_execute(int, Variable*[], KwNames) {
  message(M_WRONG_ARG_COUNT, 0, MSG_LONGJMP, "EXECUTE");
  return nullptr;
}

}  // namespace

const RoutineEntry frame_functions[] = {
    RoutineEntry(ur_execute, "EXECUTE", 1, 1),
    RoutineEntry(ur_keyword_set, "KEYWORD_SET", 1, 1),
    RoutineEntry(ur_n_params, "N_PARAMS", 0, 0),
};
const int n_frame_functions = sizeof frame_functions / sizeof frame_functions[0];

const RoutineEntry frame_procedures[] = {
    RoutineEntry(ur_catch, "CATCH", 0, 1, true),
    RoutineEntry(ur_delvar, "DELVAR", 0, 63),
    RoutineEntry(ur_exit, "EXIT", 0, 0),
    RoutineEntry(ur_on_error, "ON_ERROR", 0, 1),
};
const int n_frame_procedures = sizeof frame_procedures / sizeof frame_procedures[0];

Variable* main_entry_storage(const VarEntry* e) {
  if (e->slot == SLOT_UNASSIGNED || !main_frame || !main_prog) return nullptr;
  const uint32_t index = e->slot / VAR_SLOT_SIZE;
  if (e->common) return index < static_cast<uint32_t>(e->common->count) ? e->common->vars + index : nullptr;
  if (index >= main_frame->var_capacity || index >= main_prog->n_vars) return nullptr;
  return main_frame->vars + index;
}

Variable* main_level_storage(IdentEntry* name, bool create) {
  if (!main_prog || !main_frame) return nullptr;
  const uint32_t at = looksym(name, main_prog, create);
  if (!at) return nullptr;
  VarEntry* e = var_entry(main_prog, at);
  if (e->slot == SLOT_UNASSIGNED && !e->common && create) {
    if (!frame_fits(main_prog->n_vars + 1, main_prog->n_params)) message(M_TOO_MANY_LOCALS, 0, MSG_LONGJMP);
    e->slot = static_cast<uint16_t>(main_prog->n_vars * VAR_SLOT_SIZE);
    main_prog->n_vars++;
    if (int code = frame_add_variable(main_prog, e->slot)) {
      main_prog->n_vars--;
      e->slot = SLOT_UNASSIGNED;
      message(code, 0, MSG_LONGJMP);
    }
  }
  return main_entry_storage(e);
}
