#include "compiler/program_areas.h"

#include <cstdlib>
#include <cstring>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "values/temps.h"

SearchTable* ufuntab = nullptr;
SearchTable* uprotab = nullptr;

// ---- Routine records ----------------------------------------------------------------

CodeBlock* find_user_routine(const IdentEntry* name, bool function) {
  SearchTable* t = function ? ufuntab : uprotab;
  if (!t || !name) return nullptr;
  int i = binsrch_ident(name, t->entries, static_cast<int>(t->count));
  return i >= 0 ? static_cast<CodeBlock*>(t->entries[i]) : nullptr;
}

CodeBlock* enter_proc_name(IdentEntry* name, SearchTable** table) {
  if (*table) {
    int i = binsrch_ident(name, (*table)->entries, static_cast<int>((*table)->count));
    if (i >= 0) return static_cast<CodeBlock*>((*table)->entries[i]);
  }
  // Records live for the session: call instructions and tokens refer to them.
  auto* rec = static_cast<CodeBlock*>(std::calloc(1, sizeof(CodeBlock)));
  if (!rec) message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "saving new procedure");
  rec->name = name;
  rec->last_source = NO_SOURCE;
  if (binsrch_insert_ident(rec, table) < 0) {
    std::free(rec);
    message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "procedure name table");
  }
  return rec;
}

CodeBlock* enter_proc_name_str(const char* name, bool function) {
  IdentEntry* id = ident_hash(name, 0, IDENT_UPCASE, MSG_LONGJMP);
  return enter_proc_name(id, function ? &ufuntab : &uprotab);
}

// ---- Areas ---------------------------------------------------------------------------------

CodeBlock* new_program_area(IdentEntry* name, uint32_t code_bytes, uint32_t data_bytes) {
  auto* cb = static_cast<CodeBlock*>(std::calloc(1, sizeof(CodeBlock)));
  if (!cb) message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "Creating new procedure");
  cb->name = name;
  alloc_code_area(cb, code_bytes, data_bytes);
  cb->data_used = DATA_RESERVE;
  return cb;
}

void free_program_area(CodeBlock* area) {
  if (!area) return;
  free_code_area(area);
  std::free(area);
}

void create_main_program(uint32_t code_bytes, uint32_t data_bytes) {
  if (!main_prog) {
    main_prog = static_cast<CodeBlock*>(std::calloc(1, sizeof(CodeBlock)));
    if (!main_prog) message_error(M_NO_MEMORY, 1, MSG_EXIT, "Creating main program");
    main_prog->name = ident_hash("$MAIN$", 0, 0, MSG_EXIT);
  }
  alloc_code_area(main_prog, code_bytes, data_bytes);
  zero_prog(main_prog);
}

void zero_prog(CodeBlock* area) {
  reset_code_block(area);
  area->data_used = DATA_RESERVE;
  if (area->data && area->data_cap >= DATA_RESERVE) std::memset(area->data, 0, DATA_RESERVE);
}

// ---- Variable table ------------------------------------------------------------------------

namespace {

uint32_t hash_home(const IdentEntry* e) {
  auto a = reinterpret_cast<uintptr_t>(e);
  return static_cast<uint32_t>(((a >> 2) ^ (a >> 5) ^ (a >> 8)) & 1023);
}

void hash_store(uint16_t* table, const IdentEntry* e, uint32_t offset) {
  uint32_t slot = hash_home(e);
  for (int probe = 0; probe < 1024; probe++, slot = (slot + 1) & 1023) {
    if (table[slot] == 0) {
      table[slot] = static_cast<uint16_t>(offset);
      return;
    }
  }
}

}  // namespace

uint32_t looksym(IdentEntry* name, CodeBlock* cb, bool create) {
  if (!cb || !cb->data) return 0;
  uint16_t* hash = cb == c_prog ? cstate.var_hash : nullptr;
  if (hash) {
    uint32_t slot = hash_home(name);
    for (int probe = 0; probe < 1024; probe++, slot = (slot + 1) & 1023) {
      uint16_t at = hash[slot];
      if (at == 0) break;
      if (var_entry(cb, at)->ident == name) return at;
    }
  }
  // The name-ordered list is authoritative.
  uint32_t prev = 0;
  for (uint32_t at = cb->var_head; at; at = var_entry(cb, at)->next) {
    VarEntry* e = var_entry(cb, at);
    if (e->ident == name) return at;
    if (std::strcmp(e->ident->name, name->name) > 0) break;
    prev = at;
  }
  if (!create) return 0;

  uint32_t at;
  if (cb->free_head) {
    at = cb->free_head;
    cb->free_head = var_entry(cb, at)->next;
  } else {
    if (cb->data_used + sizeof(VarEntry) > cb->data_cap) {
      scnerr(M_DATA_FULL, 0, MSG_CONTINUE);
      return 0;
    }
    at = cb->data_used;
    cb->data_used += sizeof(VarEntry);
  }
  VarEntry* e = var_entry(cb, at);
  e->ident = name;
  e->common = nullptr;
  e->slot = SLOT_UNASSIGNED;
  e->spare = 0;
  if (prev) {
    e->next = var_entry(cb, prev)->next;
    var_entry(cb, prev)->next = static_cast<uint16_t>(at);
  } else {
    e->next = cb->var_head;
    cb->var_head = static_cast<uint16_t>(at);
  }
  if (hash) hash_store(hash, name, at);
  return at;
}

// ---- Installing -----------------------------------------------------------------------------

namespace {

struct CodeRange {
  const uint8_t* lo;
  const uint8_t* hi;
};

void own_string_if_inside(Variable* v, void* ctx) {
  auto* r = static_cast<CodeRange*>(ctx);
  if (v->type != TYP_STRING || v->has_desc()) return;
  StringDesc& s = v->value.str;
  auto* p = reinterpret_cast<const uint8_t*>(s.chars);
  if (s.owned || !p || p < r->lo || p >= r->hi) return;
  auto* copy = static_cast<char*>(counting_malloc(s.length + 1u));
  if (!copy) message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "Copying string constant");
  std::memcpy(copy, s.chars, s.length);
  copy[s.length] = 0;
  s.chars = copy;
  s.owned = 1;
  v->flags |= FLAG_DYNAMIC;
}

}  // namespace

void clean_dynamic_strings(CodeBlock* area) {
  if (!area || !area->code) return;
  CodeRange r{area->code, area->code + area->code_cap};
  if (compiler_hooks.visit_frame_variables) compiler_hooks.visit_frame_variables(own_string_if_inside, &r);
  for (int i = 0; i < common_block_count(); i++) {
    CommonBlock* blk = common_block_at(i);
    for (int k = 0; k < blk->count; k++) own_string_if_inside(&blk->vars[k], &r);
  }
}

CodeBlock* save_program(CodeBlock* area) {
  SearchTable** table = area->is_function() ? &ufuntab : &uprotab;
  CodeBlock* rec = enter_proc_name(area->name, table);
  if (rec->code) {
    clean_dynamic_strings(rec);
    free_code_area(rec);
  }
  uint32_t code_len = (area->code_len + 7) & ~7u;
  uint32_t data_len = area->data_used;
  auto* mem = static_cast<uint8_t*>(std::calloc(1, code_len + data_len + 48));
  if (!mem) message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "saving new procedure");
  IdentEntry* name = rec->name;
  *rec = *area;
  rec->name = name;
  rec->flags &= ~CB_ACTIVE;
  rec->code = mem;
  rec->code_cap = code_len;
  rec->data = mem + code_len;
  rec->data_cap = data_len + 48;
  std::memcpy(rec->code, area->code, area->code_len);
  std::memcpy(rec->data, area->data, data_len);
  if (compiler_hooks.reinsert_breakpoints) compiler_hooks.reinsert_breakpoints(rec);
  return rec;
}
