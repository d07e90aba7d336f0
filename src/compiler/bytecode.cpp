#include "compiler/bytecode.h"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/routine_table.h"


// ---- Handles -------------------------------------------------------------------------

namespace {

struct HandleTable {
  std::vector<const void*> ptrs{nullptr};  // handle 0 is null
  std::unordered_map<const void*, uint32_t> index;
};

HandleTable& handles() {
  static HandleTable* table = new HandleTable;  // lives for the session, never destroyed
  return *table;
}

}  // namespace

const void* const* handle_table = nullptr;
uint32_t handle_count = 0;

uint32_t code_handle(const void* ptr) {
  if (!ptr) return 0;
  HandleTable& t = handles();
  auto it = t.index.find(ptr);
  if (it != t.index.end()) return it->second;
  auto h = static_cast<uint32_t>(t.ptrs.size());
  t.ptrs.push_back(ptr);
  t.index.emplace(ptr, h);
  handle_table = t.ptrs.data();
  handle_count = static_cast<uint32_t>(t.ptrs.size());
  return h;
}

// ---- Program areas -------------------------------------------------------------------

void alloc_code_area(CodeBlock* cb, uint32_t code_cap, uint32_t data_cap) {
  free_code_area(cb);
  code_cap = (code_cap + 7) & ~7u;
  void* mem = std::calloc(1, code_cap + data_cap + 8);
  if (!mem) message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "Creating new procedure");
  cb->code = static_cast<uint8_t*>(mem);
  cb->code_cap = code_cap;
  cb->data = cb->code + code_cap;
  cb->data_cap = data_cap;
  reset_code_block(cb);
}

void free_code_area(CodeBlock* cb) {
  std::free(cb->code);
  cb->code = nullptr;
  cb->data = nullptr;
  cb->code_cap = cb->data_cap = 0;
  cb->code_len = cb->data_used = 0;
}

void reset_code_block(CodeBlock* cb) {
  cb->code_len = 0;
  cb->data_used = 0;
  cb->n_vars = cb->n_params = 0;
  cb->var_head = cb->free_head = 0;
  cb->for_chain = cb->for_save = 0;
  cb->last_source = NO_SOURCE;
  if (cb->code && cb->code_cap) cb->code[0] = OP_END;
}

// ---- Instruction lengths ----------------------------------------------------------------

uint32_t instruction_length(const CodeBlock* cb, uint32_t offset) {
  const uint8_t* p = cb->code + offset;
  if (*p == OP_END) return 0;
  uint32_t n = inst_size(p);
  return n ? offset + n : 0;
}

// ---- Emitting -----------------------------------------------------------------------------

namespace {

// Reports a full code area once per unit (it counts as one error); later attempts fail
// silently.
void code_area_full() {
  if (cstate.code_full) return;
  cstate.code_full = true;
  scnerr(M_CODE_FULL, 0, MSG_CONTINUE);
}

}  // namespace

uint32_t enter_inst(const void* inst, uint32_t length, CodeBlock* cb) {
  if (cstate.stmt_start) enter_seq_inst();
  uint32_t align = inst_def[*static_cast<const uint8_t*>(inst)].align;
  uint32_t u = cb->code_len;
  uint32_t k = 0;
  if (u % align) {
    k = (align - 1) - (u % align);
    if (u + k + length >= cb->code_cap) {
      code_area_full();
      cstate.last_emit_ok = false;
      return 0;
    }
    cb->code[u] = static_cast<uint8_t>(OP_PAD1 + k);
    std::memset(cb->code + u + 1, 0, k);
    u += k + 1;
    cb->code_len = u;
  }
  if (u + length >= cb->code_cap) {
    code_area_full();
    cstate.last_emit_ok = false;
    return 0;
  }
  std::memcpy(cb->code + u, inst, length);
  cb->code_len = u + length;
  cstate.last_emit_ok = true;
  return u;
}

void enter_seq_inst() {
  cstate.stmt_start = false;
  CodeBlock* cb = c_prog;
  if (!cb) return;
  if (cb->code_len == 0) {
    if (!cstate.single_stmt) cb->last_source = NO_SOURCE;
    cstate.last_marker = 1;
  }
  if (cb->code_len == cstate.last_marker) return;

  if (cstate.single_stmt) {
    // Interactive code is never saved, so its statements carry line 0 only.
    uint8_t line[4] = {OP_LINE, 0, 0, 0};
    enter_inst(line, 4, cb);
  } else {
    // The statement's tokens were read from the current line, so its number is the
    // count of lines read so far.
    int line_no = 0;
    // The line being compiled has already been counted when it was read.
    const char* file = comp_input_position(&line_no);
    size_t n = std::strlen(file);
    if (n > 255) file += n - 255, n = 255;
    bool same = false;
    if (cb->last_source != NO_SOURCE) {
      const uint8_t* last = cb->code + cb->last_source;
      same = last[6] == n && std::memcmp(last + 7, file, n) == 0;
    }
    if (same) {
      uint8_t line[4] = {OP_LINE, 0, 0, 0};
      put_u16(line, static_cast<uint16_t>(line_no));
      enter_inst(line, 4, cb);
    } else {
      uint8_t rec[270] = {};
      uint32_t len = (static_cast<uint32_t>(n) + 9u) & ~1u;
      rec[0] = OP_SOURCE;
      put_u16(rec, static_cast<uint16_t>(line_no));
      rec[6] = static_cast<uint8_t>(n);
      std::memcpy(rec + 7, file, n);
      uint32_t at = enter_inst(rec, len, cb);
      if (cstate.last_emit_ok) {
        uint8_t* mine = cb->code + at;
        if (cb->last_source == NO_SOURCE) {
          put_u16(mine, static_cast<uint16_t>(at), 4);
        } else {
          uint8_t* last = cb->code + cb->last_source;
          put_u16(mine, inst_u16(last, 4), 4);
          put_u16(last, static_cast<uint16_t>(at), 4);
        }
        cb->last_source = static_cast<uint16_t>(at);
      }
    }
  }
  cstate.last_marker = cb->code_len;
}

// ---- Constants ----------------------------------------------------------------------------

uint16_t const_hash(const uint8_t* bytes, int n) {
  uint16_t h = 0;
  for (int i = 0; i < n; i++) h = static_cast<uint16_t>((bytes[i] - n) ^ (h << 1));
  return h;
}

uint32_t emit_constant(const Variable& value, CodeBlock* cb, ConstPool* pool) {
  uint8_t inst[32] = {};
  inst[0] = OP_PUSH_CONST;
  Variable* image = reinterpret_cast<Variable*>(inst + 8);
  image->type = value.type;
  image->flags = FLAG_CONSTANT;
  int vsize = value.type < N_TYPES ? type_size[value.type] : 0;
  std::memcpy(&image->value, &value.value, static_cast<size_t>(vsize));
  if (!pool) return enter_inst(inst, sizeof inst, cb);

  const uint8_t* key = inst + 8;
  int keylen = 8 + vsize;
  uint16_t slot = const_hash(key, keylen) & 1023;
  int free_slot = -1;
  for (int probe = 0; probe < 1024; probe++, slot = (slot + 1) & 1023) {
    uint16_t at = pool->slot[slot];
    if (at == 0) {
      free_slot = slot;
      break;
    }
    if (std::memcmp(cb->code + at, key, static_cast<size_t>(keylen)) == 0) {
      uint8_t ref[4] = {OP_PUSH_CONST_REF, 0, 0, 0};
      uint32_t off = enter_inst(ref, 4, cb);
      if (cstate.last_emit_ok) put_u16(cb->code + off, static_cast<uint16_t>(off - at));
      return off;
    }
  }
  uint32_t off = enter_inst(inst, sizeof inst, cb);
  if (cstate.last_emit_ok && free_slot >= 0) pool->slot[free_slot] = static_cast<uint16_t>(off + 8);
  return off;
}

// ---- Common blocks -----------------------------------------------------------------------

namespace {

// Common blocks live for the session (the list is never destroyed, so they stay
// reachable to the end).
std::vector<CommonBlock*>& commons() {
  static auto* list = new std::vector<CommonBlock*>;
  return *list;
}

}  // namespace

CommonBlock* enter_common(IdentEntry* name, int count, bool create) {
  auto& list = commons();
  size_t lo = 0, hi = list.size();
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    int c = std::strcmp(list[mid]->name->name, name->name);
    if (c == 0 && list[mid]->name == name) {
      lo = mid;
      break;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  if (lo < list.size() && list[lo]->name == name) {
    CommonBlock* cb = list[lo];
    if (count > cb->count) {
      message(M_EXTEND_COMMON, 0, MSG_CONTINUE, name->name);
      return nullptr;
    }
    return cb;
  }
  if (!create) return nullptr;
  auto* blk = static_cast<CommonBlock*>(std::calloc(1, sizeof(CommonBlock)));
  size_t n = static_cast<size_t>(count > 0 ? count : 0);
  auto* vars = n ? static_cast<Variable*>(std::calloc(n, sizeof(Variable))) : nullptr;
  auto* names = n ? static_cast<IdentEntry**>(std::calloc(n, sizeof(IdentEntry*))) : nullptr;
  if (!blk || (n && (!vars || !names))) {
    std::free(blk);
    std::free(vars);
    std::free(names);
    message(M_NO_MEMORY, 0, MSG_CONTINUE, "Creating common block");
    return nullptr;
  }
  blk->name = name;
  blk->count = count;
  blk->vars = vars;
  blk->names = names;
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(lo), blk);
  return blk;
}

void free_common_blocks() {
  for (CommonBlock* blk : commons()) {
    for (int i = 0; i < blk->count; i++) delvar(&blk->vars[i]);
    std::free(blk->vars);
    std::free(blk->names);
    std::free(blk);
  }
  commons().clear();
}

int common_block_count() { return static_cast<int>(commons().size()); }
CommonBlock* common_block_at(int index) { return commons()[static_cast<size_t>(index)]; }

// ---- Listing -------------------------------------------------------------------------------

const char* (*listing_sysvar_name)(uint32_t handle) = nullptr;

namespace {

std::string subscr_codes(int count, uint16_t codes) {
  static const char* const kind[4] = {"i", "*", "a:b", "a:*"};
  std::string s = "[";
  for (int i = count - 1; i >= 0; i--) {
    s += kind[(codes >> (2 * i)) & 3];
    if (i) s += ",";
  }
  return s + "]";
}

std::string ident_name(uint32_t handle) {
  auto* id = handle_as<IdentEntry>(handle);
  return id ? id->name : "#0";
}

std::string sysvar_name(uint32_t handle) {
  if (listing_sysvar_name) {
    if (const char* n = listing_sysvar_name(handle)) return n;
  }
  return "sysvar#" + std::to_string(handle);
}

std::string const_text(const Variable* v) {
  char buf[64];
  switch (v->type) {
    case TYP_BYTE: snprintf(buf, sizeof buf, "%uB", v->value.c); break;
    case TYP_INT: snprintf(buf, sizeof buf, "%d", v->value.i); break;
    case TYP_LONG: snprintf(buf, sizeof buf, "%dL", v->value.l); break;
    case TYP_FLOAT: snprintf(buf, sizeof buf, "%gF", static_cast<double>(v->value.f)); break;
    case TYP_DOUBLE: snprintf(buf, sizeof buf, "%gD", v->value.d); break;
    case TYP_COMPLEX:
      snprintf(buf, sizeof buf, "(%g,%g)", static_cast<double>(v->value.cmp.r), static_cast<double>(v->value.cmp.i));
      break;
    default: snprintf(buf, sizeof buf, "type %d", v->type); break;
  }
  return buf;
}

std::string call_text(const uint8_t* p) {
  int argc = p[1];
  uint32_t h = inst_word(p);
  std::string s;
  if (p[0] == OP_CALL_SYSFUN || p[0] == OP_CALL_SYSPRO) {
    auto* r = handle_as<RoutineEntry>(h);
    s = r ? r->name : "?";
  } else {
    auto* r = handle_as<CodeBlock>(h);
    s = r ? r->name_str() : "(by name)";
  }
  s += " argc=" + std::to_string(argc);
  if (inst_u16(p)) {
    s += " map=";
    const uint8_t* pos = p + 8;
    const char* names = reinterpret_cast<const char*>(p + 8 + argc);
    for (int i = 0; i < argc; i++) {
      if (i) s += ",";
      s += std::to_string(pos[i]);
      s += ":";
      s += names;
      names += std::strlen(names) + 1;
    }
  }
  return s;
}

}  // namespace

std::string list_instruction(const CodeBlock* cb, uint32_t offset) {
  const uint8_t* p = cb->code + offset;
  uint8_t op = p[0];
  char head[32];
  snprintf(head, sizeof head, "%5u  ", offset);
  std::string s = head;
  if (op == OP_INVALID || op >= OP_COUNT) return s + "?? " + std::to_string(op);
  s += inst_def[op].name;
  std::string arg;
  switch (inst_def[op].form) {
    case OperandForm::NONE:
    case OperandForm::PAD: break;
    case OperandForm::SLOT: arg = "slot " + std::to_string(inst_u16(p) / VAR_SLOT_SIZE); break;
    case OperandForm::COMMON: {
      const VarEntry* e = var_entry(cb, inst_u16(p));
      arg = e->ident ? std::string(e->ident->name) : "?";
      if (e->common) arg += std::string(" in ") + e->common->name->name;
      break;
    }
    case OperandForm::PARAM: arg = "param " + std::to_string(p[1]); break;
    case OperandForm::SYSVAR: arg = sysvar_name(inst_word(p)); break;
    case OperandForm::SUBSCR: arg = subscr_codes(p[1], inst_u16(p)); break;
    case OperandForm::SYSVAR_SUBSCR: arg = sysvar_name(inst_word(p)) + " " + subscr_codes(p[1], inst_u16(p)); break;
    case OperandForm::CONST: arg = const_text(reinterpret_cast<const Variable*>(p + 8)); break;
    case OperandForm::STRING:
      arg = "'" + std::string(reinterpret_cast<const char*>(p + 3), p[1]) + "'";
      if (p[2]) arg += " copy";
      break;
    case OperandForm::FORWARD: arg = "-> " + std::to_string(offset + inst_u16(p)); break;
    case OperandForm::BACKWARD: arg = "-> " + std::to_string(offset - inst_u16(p)); break;
    case OperandForm::LINE: arg = "line " + std::to_string(inst_u16(p)); break;
    case OperandForm::COUNT: arg = std::to_string(p[1]); break;
    case OperandForm::FOR: arg = "-> " + std::to_string(offset + inst_u16(p)); break;
    case OperandForm::CONCAT: arg = "level " + std::to_string(p[1] + 1) + " n " + std::to_string(p[2]); break;
    case OperandForm::CALL: arg = call_text(p); break;
    case OperandForm::TAG: arg = inst_word(p) ? ident_name(inst_word(p)) : "(number)"; break;
    case OperandForm::TAG_SUBSCR:
      arg = (inst_word(p) ? ident_name(inst_word(p)) : "(number)") + " " + subscr_codes(p[1], inst_u16(p));
      break;
    case OperandForm::NAMED_STRUCT: arg = ident_name(inst_word(p)) + " k " + std::to_string(p[1]); break;
    case OperandForm::CONST_REF: {
      uint32_t image = offset - inst_u16(p);
      arg = "@" + std::to_string(image - 8) + " " + const_text(reinterpret_cast<const Variable*>(cb->code + image));
      break;
    }
    case OperandForm::SOURCE:
      arg = "line " + std::to_string(inst_u16(p)) + " " + std::string(reinterpret_cast<const char*>(p + 7), p[6]);
      break;
    case OperandForm::MAKE_STRUCT:
      for (int i = 0; i < p[1]; i++) arg += (i ? "," : "") + ident_name(inst_word(p, 4 + 4 * i));
      break;
  }
  if (!arg.empty()) s += " " + arg;
  return s;
}

std::string list_code(const CodeBlock* cb) {
  std::string out;
  uint32_t off = 0;
  while (off < cb->code_len) {
    out += list_instruction(cb, off);
    out += "\n";
    uint32_t n = inst_size(cb->code + off);
    if (n == 0 || cb->code[off] == OP_END) break;
    off += n;
  }
  return out;
}

void dump() {}
