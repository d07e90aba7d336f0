// Hand-assembled byte code for interpreter tests: a small emitter over enter_inst and a
// fixture that owns a main program area and resets the frames after each test.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "compiler/bytecode.h"
#include "compiler/cstate.h"
#include "interp/frames.h"
#include "interp/interpreter.h"
#include "test_support.h"
#include "values/ident.h"

constexpr uint16_t slot_of(int i) { return static_cast<uint16_t>(i * sizeof(Variable)); }

struct Asm {
  CodeBlock cb{};
  explicit Asm(uint32_t cap = 8192) { alloc_code_area(&cb, cap, 2048); }
  ~Asm() { free_code_area(&cb); }
  Asm(const Asm&) = delete;
  Asm& operator=(const Asm&) = delete;

  uint8_t* code() { return cb.code; }
  uint8_t* at(uint32_t off) { return cb.code + off; }
  uint32_t here() const { return cb.code_len; }

  uint32_t raw(const uint8_t* b, uint32_t n) { return enter_inst(b, n, &cb); }
  uint32_t op(uint8_t o) { return raw(&o, 1); }
  uint32_t op2(uint8_t o, uint8_t b1) {
    uint8_t b[2] = {o, b1};
    return raw(b, 2);
  }
  uint32_t u16op(uint8_t o, uint16_t v, uint8_t b1 = 0) {
    uint8_t b[4] = {o, b1, 0, 0};
    memcpy(b + 2, &v, 2);
    return raw(b, 4);
  }
  uint32_t local(int slot) { return u16op(OP_PUSH_LOCAL, slot_of(slot)); }
  uint32_t param(int k) { return op2(OP_PUSH_PARAM, static_cast<uint8_t>(k)); }
  uint32_t line(int n) { return u16op(OP_LINE, static_cast<uint16_t>(n)); }
  uint32_t store_local(int slot) {
    local(slot);
    return op(OP_STORE);
  }
  uint32_t constant(Variable v) {
    uint8_t b[8 + sizeof(Variable)] = {OP_PUSH_CONST};
    v.flags = FLAG_CONSTANT;
    memcpy(b + 8, &v, sizeof v);
    return raw(b, sizeof b);
  }
  uint32_t lng(int32_t x) {
    Variable v{};
    v.type = TYP_LONG;
    v.value.l = x;
    return constant(v);
  }
  uint32_t integer(int16_t x) {
    Variable v{};
    v.type = TYP_INT;
    v.value.i = x;
    return constant(v);
  }
  uint32_t byte(uint8_t x) {
    Variable v{};
    v.type = TYP_BYTE;
    v.value.c = x;
    return constant(v);
  }
  uint32_t flt(float x) {
    Variable v{};
    v.type = TYP_FLOAT;
    v.value.f = x;
    return constant(v);
  }
  uint32_t dbl(double x) {
    Variable v{};
    v.type = TYP_DOUBLE;
    v.value.d = x;
    return constant(v);
  }
  uint32_t cplx(float r, float i) {
    Variable v{};
    v.type = TYP_COMPLEX;
    v.value.cmp.r = r;
    v.value.cmp.i = i;
    return constant(v);
  }
  uint32_t str(const std::string& s) {
    std::vector<uint8_t> b(s.size() + 5, 0);
    b[0] = OP_PUSH_STRING;
    b[1] = static_cast<uint8_t>(s.size());
    b[2] = 1;
    memcpy(b.data() + 3, s.data(), s.size());
    return raw(b.data(), (static_cast<uint32_t>(s.size()) + 5) & ~1u);
  }
  // A branch whose offset is patched later with patch_to.
  uint32_t branch(uint8_t o) { return u16op(o, 0); }
  // Points the forward branch at `from` to the current end of code.
  void patch_here(uint32_t from) { put_u16(at(from), static_cast<uint16_t>(here() - from)); }
  void patch_to(uint32_t from, uint32_t to) {
    uint32_t d = to > from ? to - from : from - to;
    put_u16(at(from), static_cast<uint16_t>(d));
  }
  uint32_t back(uint8_t o, uint32_t target) {
    uint32_t off = branch(o);
    put_u16(at(off), static_cast<uint16_t>(off - target));
    return off;
  }
  // FOR_INIT(_STEP): the stack holds init, variable, limit (, step).
  uint32_t for_init(bool step) {
    uint8_t b[32] = {step ? uint8_t(OP_FOR_INIT_STEP) : uint8_t(OP_FOR_INIT)};
    uint32_t off = raw(b, step ? 32 : 24);
    put_u16(at(off), 0, 4);
    uint16_t prev = static_cast<uint16_t>(cb.for_chain);
    put_u16(at(off), prev, 4);
    cb.for_chain = static_cast<uint16_t>(off);
    cb.for_save = static_cast<uint16_t>(cb.for_save + (step ? 3 : 2));
    return off;
  }
  // FOR_NEXT back to init; patches the init's forward offset.
  uint32_t for_next(uint32_t init) {
    uint8_t o = at(init)[0] == OP_FOR_INIT_STEP ? OP_FOR_NEXT_STEP : OP_FOR_NEXT;
    uint32_t off = branch(o);
    put_u16(at(off), static_cast<uint16_t>(off - init));
    put_u16(at(init), static_cast<uint16_t>(off - init));
    return off;
  }
  // A call; names in source order ("" for positional arguments).
  uint32_t call(uint8_t o, const void* routine, int argc, const std::vector<std::string>& names = {}) {
    std::vector<uint8_t> desc;
    bool kw = false;
    for (auto& n : names) kw |= !n.empty();
    if (kw) {
      std::vector<int> order;
      for (int i = 0; i < argc; i++)
        if (names[i].empty()) order.push_back(i);
      std::vector<int> k;
      for (int i = 0; i < argc; i++)
        if (!names[i].empty()) k.push_back(i);
      std::sort(k.begin(), k.end(), [&](int a, int b) { return names[a] < names[b]; });
      order.insert(order.end(), k.begin(), k.end());
      for (int i : order) desc.push_back(static_cast<uint8_t>(i));
      for (int i : order) {
        for (char c : names[i]) desc.push_back(static_cast<uint8_t>(c));
        desc.push_back(0);
      }
      if (desc.size() & 1) desc.push_back(0);
    }
    std::vector<uint8_t> b(8 + desc.size(), 0);
    b[0] = o;
    b[1] = static_cast<uint8_t>(argc);
    uint16_t dl = static_cast<uint16_t>(desc.size());
    memcpy(b.data() + 2, &dl, 2);
    uint32_t h = code_handle(routine);
    memcpy(b.data() + 4, &h, 4);
    if (!desc.empty()) memcpy(b.data() + 8, desc.data(), desc.size());
    return raw(b.data(), static_cast<uint32_t>(b.size()));
  }
};

// A user routine assembled by hand: formals first (keyword names or "" for positional).
struct Routine : Asm {
  Routine(const char* name, const std::vector<std::string>& formals, uint32_t n_vars, bool function) {
    cb.name = ident_hash(name, 0, 0, MSG_LONGJMP);
    cb.n_params = static_cast<uint32_t>(formals.size());
    cb.n_vars = n_vars;
    cb.flags = function ? CB_FUNCTION : 0;
    for (size_t i = 0; i < formals.size(); i++) {
      IdentEntry* kw = nullptr;
      if (!formals[i].empty()) {
        kw = ident_hash(formals[i].c_str(), 0, 0, MSG_LONGJMP);
        cb.flags |= CB_KEYWORDS;
        if (formals[i] == "_EXTRA") cb.flags |= CB_EXTRA;
      }
      cb.kw_formals()[i] = kw;
    }
    cb.data_used = static_cast<uint32_t>(8 * (formals.size() ? formals.size() : 1));
  }
};

struct VarInfo {
  Variable* var;
};
// The main level's variable of that name (compiled code creates them), or null.
VarInfo find_main_variable(const char* name);

const RoutineEntry* find_entry(const RoutineEntry* table, int n, const char* name);

class InterpTest : public VekTest {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  Variable* var(int slot) { return frame_var(main_frame, slot_of(slot)); }
  // Runs code as an interactive statement at the main level.
  uint8_t* run(Asm& a, int interactive = 1) { return interpreter(a.code(), interactive, 0, nullptr); }
};
