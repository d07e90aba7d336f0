// The byte-code format: the 80 opcodes in one table (name, alignment, length, operand
// form, meaning) from which the emitter, instruction_length, the listing and the
// interpreter's dispatch are all derived; the CodeBlock (a unit's program area); the
// emitter (enter_inst, enter_seq_inst), constant pooling and common blocks.
// Relies on the value model (Variable) and message() for failures.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "values/ident.h"
#include "values/variable.h"

// Operand forms, used by the listing and by tests that decode instructions.
enum class OperandForm : uint8_t {
  NONE,           // opcode only
  SLOT,           // u16 at 2: byte offset of a frame variable
  COMMON,         // u16 at 2: offset of a common-reference entry in the variable table
  PARAM,          // byte 1: parameter index
  SYSVAR,         // word at 4: handle of the system variable
  SUBSCR,         // byte 1: subscript count, u16 at 2: subscript codes
  SYSVAR_SUBSCR,  // word at 4 + SUBSCR
  CONST,          // bytes 8..: a Variable image
  STRING,         // byte 1: length, byte 2: copy flag, bytes 3..: characters and NUL
  FORWARD,        // u16 at 2: forward offset
  BACKWARD,       // u16 at 2: backward offset
  LINE,           // u16 at 2: source line number
  COUNT,          // byte 1: a count
  FOR,            // u16 at 2: forward offset to FOR_NEXT, u16 at 4: previous FOR
  CONCAT,         // byte 1: level - 1, byte 2: element count
  CALL,           // byte 1: argc, u16 at 2: descriptor length, word at 4: routine handle
  TAG,            // word at 4: tag identifier handle (0: tag number on the stack)
  TAG_SUBSCR,     // word at 4 + SUBSCR
  NAMED_STRUCT,   // byte 1: value count, word at 4: structure name handle
  CONST_REF,      // u16 at 2: backward distance to a PUSH_CONST's image
  PAD,            // padding
  SOURCE,         // u16 at 2: line, u16 at 4: next SOURCE, byte 6: name length, 7..: name
  MAKE_STRUCT,    // byte 1: k, then k words of tag identifier handles from byte 4
};

// X(name, alignment, length, form, meaning). Length 0: computed from the instruction.
// The order is the opcode numbering, starting at 1.
// Operands: "u16" is the 16-bit field at byte 2, "word" the 32-bit field at byte 4 and
// holds a handle (code_handle below). Stacks are listed bottom to top. Branch offsets
// are added to (forward) or subtracted from (backward) the branching instruction's own
// offset. Calls: byte 1 = argc, u16 = length of the keyword descriptor after the 8-byte
// head (0: none), word = the RoutineEntry (system) or CodeBlock (user; 0 for
// CALL_PROCEDURE and CALL_FUNCTION, named by the first argument). The arguments lie on
// the stack in source order; the descriptor holds argc position bytes (the positional
// arguments' positions, then the keywords' in name order) and then argc NUL-terminated
// names ("" for each positional argument, "0" for _EXTRA).
#define VEK_OPCODES(X)                                                                                          \
  X(PUSH_LOCAL, 2, 4, SLOT, "push frame variable at byte offset u16 (slot x 24)")                                             \
  X(PUSH_COMMON, 2, 4, COMMON, "push common variable: e = var_entry(unit,u16), e->common->vars[e->slot/24]")                                   \
  X(PUSH_PARAM, 1, 2, PARAM, "push the variable a parameter denotes")                                          \
  X(LOAD_SYSVAR, 4, 8, SYSVAR, "push a system variable")                                                        \
  X(LOAD_SUBSCRIPTED, 2, 4, SUBSCR, "stack: subs.., var -> selected elements")           \
  X(LOAD_SYSVAR_SUBSCRIPTED, 4, 8, SYSVAR_SUBSCR, "stack: subs.. -> selected elements of the system variable")             \
  X(STORE, 1, 1, NONE, "pop variable and value; copy the value into the variable")                              \
  X(STORE_SYSVAR, 4, 8, SYSVAR, "store the popped value into a system variable")                                \
  X(STORE_SUBSCRIPTED, 2, 4, SUBSCR, "stack: subs.., value, var -> (value stored into selected elements)")                              \
  X(STORE_SYSVAR_SUBSCRIPTED, 4, 8, SYSVAR_SUBSCR, "stack: subs.., value -> (stored into the system variable)")         \
  X(PUSH_CONST, 8, 32, CONST, "push the address of the Variable image held in the instruction")                 \
  X(PUSH_STRING, 1, 0, STRING, "push a string temporary")                                                       \
  X(ADD, 1, 1, NONE, "a + b")                                                                                   \
  X(SUB, 1, 1, NONE, "a - b")                                                                                   \
  X(MUL, 1, 1, NONE, "a * b")                                                                                   \
  X(DIV, 1, 1, NONE, "a / b")                                                                                   \
  X(MIN, 1, 1, NONE, "a < b (minimum)")                                                                         \
  X(MAX, 1, 1, NONE, "a > b (maximum)")                                                                         \
  X(POWER, 1, 1, NONE, "a ^ b")                                                                                 \
  X(MOD, 1, 1, NONE, "a MOD b")                                                                                 \
  X(AND, 1, 1, NONE, "a AND b")                                                                                 \
  X(OR, 1, 1, NONE, "a OR b")                                                                                   \
  X(XOR, 1, 1, NONE, "a XOR b")                                                                                 \
  X(EQ, 1, 1, NONE, "a EQ b")                                                                                   \
  X(NE, 1, 1, NONE, "a NE b")                                                                                   \
  X(LE, 1, 1, NONE, "a LE b")                                                                                   \
  X(LT, 1, 1, NONE, "a LT b")                                                                                   \
  X(GE, 1, 1, NONE, "a GE b")                                                                                   \
  X(GT, 1, 1, NONE, "a GT b")                                                                                   \
  X(SUBSCRIPT_EXPR, 2, 4, SUBSCR, "stack: value, subs.. -> selected elements")                                       \
  X(JUMP, 2, 4, FORWARD, "jump forward")                                                                        \
  X(JUMP_IF_FALSE, 2, 4, FORWARD, "pop a scalar; jump forward when it is false")                                \
  X(LINE, 2, 4, LINE, "statement boundary with its source line")                                                \
  X(ASSIGN_EXPR, 1, 2, COUNT, "stack: subs(n).., value -> copy, subs.., value")                \
  X(FOR_INIT, 8, 24, FOR, "stack: init, var, limit; u16 -> FOR_NEXT, u16@4 previous FOR; run-time var@8 limit@16")                  \
  X(FOR_INIT_STEP, 8, 32, FOR, "stack: init, var, limit, step; as FOR_INIT, increment@24")                                \
  X(FOR_NEXT, 2, 4, BACKWARD, "step 1 and loop back to the FOR_INIT")                                           \
  X(FOR_NEXT_STEP, 2, 4, BACKWARD, "step and loop back to the FOR_INIT_STEP")                                   \
  X(CASE_TEST, 2, 4, FORWARD, "stack: selector, label; match: pop both; else pop label, jump forward") \
  X(CASE_NOMATCH, 1, 1, NONE, "no CASE label matched: run-time error")                                          \
  X(CONCATENATE, 1, 3, CONCAT, "build an array from the top n values at level byte1+1")                                            \
  X(CALL_SYSFUN, 4, 0, CALL, "call a system function")                                                          \
  X(CALL_SYSPRO, 4, 0, CALL, "call a system procedure")                                                         \
  X(CALL_USERFUN, 4, 0, CALL, "call a user function")                                                           \
  X(CALL_USERPRO, 4, 0, CALL, "call a user procedure")                                                          \
  X(STOP, 1, 2, COUNT, "stop; byte 1 values to print")                                                         \
  X(POP, 1, 1, NONE, "drop the top of the stack")                                                               \
  X(NEGATE, 1, 1, NONE, "unary minus")                                                                          \
  X(NOT, 1, 1, NONE, "unary NOT")                                                                               \
  X(STRUCT_BASE, 1, 1, NONE, "stack: var; open a structure reference (references nest)")                            \
  X(SYSVAR_STRUCT_BASE, 4, 8, SYSVAR, "start a structure reference on a system variable")                       \
  X(STRUCT_BASE_SUBSCRIPTED, 2, 4, SUBSCR, "stack: subs.., var; open a reference on the selected elements")                  \
  X(SYSVAR_STRUCT_BASE_SUBSCRIPTED, 4, 8, SYSVAR_SUBSCR, "stack: subs..; as above on a system variable")                       \
  X(FETCH_TAGS, 1, 1, NONE, "end a structure reference: push the selected value")                               \
  X(STORE_TAGS, 1, 1, NONE, "end a structure reference: store the popped value")                                \
  X(END, 1, 1, NONE, "end of code")                                                                             \
  X(TAG, 4, 8, TAG, "extend the reference by tag word (0: stack: tag number)")                                                \
  X(TAG_SUBSCRIPTED, 4, 8, TAG_SUBSCR, "stack: [tag number,] subs..; extend by one tag and subscript it")                      \
  X(RETURN, 1, 1, NONE, "return from the unit")                                                                 \
  X(IMPLICIT_RETURN, 1, 1, NONE, "return at the end of a routine (a function returns 0)")                       \
  X(MAKE_NAMED_STRUCT, 4, 8, NAMED_STRUCT, "stack: k values; structure of the named definition (k=0: an instance)")             \
  X(PUSH_CONST_REF, 2, 4, CONST_REF, "push the address of an earlier PUSH_CONST's image")                        \
  X(MATRIX_MULTIPLY, 1, 1, NONE, "a # b")                                                                       \
  X(SET_IOERROR, 2, 4, FORWARD, "set the frame's I/O error target forward (offset 0 cancels)")                                 \
  X(RETALL, 1, 1, NONE, "return to the main level")                                                             \
  X(EXECUTE, 1, 1, NONE, "compile and run the string on the stack")                                             \
  X(PAD1, 1, 1, PAD, "padding")                                                                                 \
  X(PAD2, 1, 2, PAD, "padding")                                                                                 \
  X(PAD3, 1, 3, PAD, "padding")                                                                                 \
  X(PAD4, 1, 4, PAD, "padding")                                                                                 \
  X(PAD5, 1, 5, PAD, "padding")                                                                                 \
  X(PAD6, 1, 6, PAD, "padding")                                                                                 \
  X(PAD7, 1, 7, PAD, "padding")                                                                                 \
  X(SOURCE, 2, 0, SOURCE, "statement boundary naming its source file")                                          \
  X(LINE_BREAK, 2, 4, LINE, "LINE with a breakpoint")                                                           \
  X(SOURCE_BREAK, 2, 0, SOURCE, "SOURCE with a breakpoint")                                                     \
  X(MAKE_STRUCT, 4, 0, MAKE_STRUCT, "stack: k values; anonymous structure with the k tags from byte 4")                    \
  X(JUMP_BACK, 2, 4, BACKWARD, "jump backward")                                                                 \
  X(JUMP_BACK_IF_FALSE, 2, 4, BACKWARD, "pop a scalar; jump backward when it is false")                         \
  X(SET_IOERROR_BACK, 2, 4, BACKWARD, "set the I/O error target backward")

enum Opcode : uint8_t {
  OP_INVALID = 0,
#define VEK_OP_ENUM(name, align, len, form, meaning) OP_##name,
  VEK_OPCODES(VEK_OP_ENUM)
#undef VEK_OP_ENUM
      OP_COUNT  // one past the last valid opcode
};
static_assert(OP_COUNT == 81, "80 opcodes, numbered from 1");

// END is emitted as a one-byte instruction; it is the terminator, so its length
// as seen by instruction_length is 0 (nothing follows it).

struct InstDef {
  const char* name;
  uint8_t align;
  uint8_t length;  // 0: computed
  OperandForm form;
  const char* meaning;
};
// Indexed by opcode; entry 0 is the invalid opcode. Constant, so that a fixed length
// read from it with a known opcode costs nothing at run time.
inline constexpr InstDef inst_def[OP_COUNT] = {
    {"INVALID", 1, 0, OperandForm::NONE, "invalid"},
#define VEK_OP_DEF(name, align, len, form, meaning) {#name, align, len, OperandForm::form, meaning},
    VEK_OPCODES(VEK_OP_DEF)
#undef VEK_OP_DEF
};
// The fixed length of an opcode; a compile-time error for one whose length varies.
template <Opcode O>
constexpr uint32_t fixed_length() {
  static_assert(inst_def[O].length != 0, "this instruction's length depends on its operands");
  return inst_def[O].length;
}

// ---- Program areas ----------------------------------------------------------------

constexpr uint32_t CB_FUNCTION = 1;      // a function (clear: procedure or main program)
constexpr uint32_t CB_KEYWORDS = 2;      // has keyword formals
constexpr uint32_t CB_ACTIVE = 4;        // at least one activation exists
constexpr uint32_t CB_EXTRA = 8;         // has an _EXTRA formal
constexpr uint16_t NO_SOURCE = 65535;    // last_source: no SOURCE record yet
constexpr uint16_t SLOT_UNASSIGNED = 65535;

// A frame variable slot is one Variable.
constexpr int VAR_SLOT_SIZE = sizeof(Variable);
static_assert(VAR_SLOT_SIZE == 24);

// A compiled program unit. A routine named but not yet compiled has only its name
// (code null). The code and data areas are one allocation: code_cap bytes of code
// (8-aligned) followed by data_cap bytes of data.
struct CodeBlock {
  IdentEntry* name;
  uint32_t code_cap;
  uint8_t* code;
  uint32_t data_cap;
  uint8_t* data;        // keyword-formal list (one pointer per parameter), then the variable table
  uint32_t n_vars;
  uint32_t n_params;
  uint32_t flags;       // CB_...
  uint32_t code_len;
  uint32_t data_used;
  uint16_t var_head;    // offset of the first variable-table entry in name order (0: none)
  uint16_t free_head;   // first free variable-table entry (0: none)
  uint16_t for_chain;   // offset of the last FOR_INIT/FOR_INIT_STEP emitted (0: none)
  uint16_t for_save;    // FOR state to save on recursion, in 8-byte units
  uint16_t last_source; // offset of the most recent SOURCE record (NO_SOURCE: none)

  bool is_function() const { return flags & CB_FUNCTION; }
  bool compiled() const { return code != nullptr; }
  const char* name_str() const { return name ? name->name : ""; }
  // The keyword-formal list: entry i is the IdentEntry of parameter i's keyword or null.
  IdentEntry** kw_formals() const { return reinterpret_cast<IdentEntry**>(data); }
};

struct CommonBlock;

// An entry of a unit's variable table (in the data area, after the keyword-formal list).
// Offsets of entries are measured from the start of the data area; 0 never denotes an
// entry because the table never starts at offset 0 (a unit always reserves the first 8
// bytes of its data area).
struct VarEntry {
  IdentEntry* ident;
  CommonBlock* common;  // null for a local variable or a parameter
  uint16_t next;        // next entry in name order (0: end)
  uint16_t slot;        // byte offset of the variable in the frame, or SLOT_UNASSIGNED
  uint32_t spare;
};
inline VarEntry* var_entry(const CodeBlock* cb, uint32_t offset) {
  return reinterpret_cast<VarEntry*>(cb->data + offset);
}

// Allocates (or reallocates, discarding old code) the program area of a unit.
void alloc_code_area(CodeBlock* cb, uint32_t code_cap, uint32_t data_cap);
// Frees the program area (keeps the record and its name).
void free_code_area(CodeBlock* cb);
// Empties a unit for recompilation: code length 0, no variables, END at byte 0.
void reset_code_block(CodeBlock* cb);

// ---- Pointer handles ----------------------------------------------------------------
// Instruction words are 32 bits, narrower than a host pointer; they hold handles of
// long-lived objects (identifiers, routine entries, routine records, system variables).
// A handle is permanent for the session; 0 is the null pointer.
uint32_t code_handle(const void* ptr);
// The table behind the handles (index = handle), kept up to date by code_handle so that
// the interpreter's lookups stay inline.
extern const void* const* handle_table;
extern uint32_t handle_count;
inline void* handle_ptr(uint32_t handle) {
  return handle < handle_count ? const_cast<void*>(handle_table[handle]) : nullptr;
}
template <typename T>
T* handle_as(uint32_t handle) {
  return static_cast<T*>(handle_ptr(handle));
}

// ---- Reading instructions ------------------------------------------------------------
inline uint16_t inst_u16(const uint8_t* inst, int at = 2) {
  uint16_t v;
  std::memcpy(&v, inst + at, 2);
  return v;
}
inline void put_u16(uint8_t* inst, uint16_t v, int at = 2) { std::memcpy(inst + at, &v, 2); }
inline uint32_t inst_word(const uint8_t* inst, int at = 4) {
  uint32_t v;
  std::memcpy(&v, inst + at, 4);
  return v;
}
inline void put_word(uint8_t* inst, uint32_t v, int at = 4) { std::memcpy(inst + at, &v, 4); }

// Operands by the names of their forms (see OperandForm). Every reader of code (the
// interpreter, the listing, the frame code) goes through these, never raw offsets.
inline uint16_t inst_slot(const uint8_t* inst) { return inst_u16(inst); }       // SLOT, COMMON
inline uint8_t inst_param(const uint8_t* inst) { return inst[1]; }             // PARAM
inline uint32_t inst_handle(const uint8_t* inst) { return inst_word(inst); }   // SYSVAR, TAG, CALL, NAMED_STRUCT
inline uint8_t inst_subs_count(const uint8_t* inst) { return inst[1]; }        // SUBSCR forms
inline uint16_t inst_subs_codes(const uint8_t* inst) { return inst_u16(inst); }
inline uint16_t inst_offset(const uint8_t* inst) { return inst_u16(inst); }    // FORWARD, BACKWARD, CONST_REF, FOR
inline uint16_t inst_line(const uint8_t* inst) { return inst_u16(inst); }      // LINE, SOURCE
inline uint8_t inst_count(const uint8_t* inst) { return inst[1]; }             // COUNT, NAMED_STRUCT, MAKE_STRUCT
inline uint8_t inst_concat_level(const uint8_t* inst) { return inst[1]; }      // CONCAT: level - 1
inline uint8_t inst_concat_count(const uint8_t* inst) { return inst[2]; }
inline uint8_t inst_argc(const uint8_t* inst) { return inst[1]; }              // CALL
inline uint16_t inst_desc_length(const uint8_t* inst) { return inst_u16(inst); }
inline uint8_t inst_string_length(const uint8_t* inst) { return inst[1]; }     // STRING
inline bool inst_string_copied(const uint8_t* inst) { return inst[2] != 0; }
inline char* inst_string_chars(uint8_t* inst) { return reinterpret_cast<char*>(inst + 3); }
inline uint32_t inst_tag_handle(const uint8_t* inst, int i) { return inst_word(inst, 4 + 4 * i); }  // MAKE_STRUCT
inline uint16_t source_next(const uint8_t* inst) { return inst_u16(inst, 4); }  // SOURCE: next record
inline uint8_t source_name_length(const uint8_t* inst) { return inst[6]; }
inline const char* source_name(const uint8_t* inst) { return reinterpret_cast<const char*>(inst + 7); }

// The Variable image of a PUSH_CONST (8-aligned inside the code area).
inline Variable* inst_const(uint8_t* inst) { return reinterpret_cast<Variable*>(inst + 8); }
// The constant a PUSH_CONST_REF refers back to.
inline Variable* inst_const_ref(uint8_t* inst) { return reinterpret_cast<Variable*>(inst - inst_offset(inst)); }
// Keyword descriptor of a call instruction: argc position bytes, then argc names.
inline const uint8_t* call_positions(const uint8_t* inst) { return inst + 8; }
inline const char* call_names(const uint8_t* inst) {
  return reinterpret_cast<const char*>(inst + 8 + inst_argc(inst));
}

// The run-time state a FOR_INIT(_STEP) keeps in its own instruction: the type the
// bounds are held in (byte 1), the loop variable, the limit and the increment.
constexpr int kForVarAt = 8, kForLimitAt = 16, kForStepAt = 24;
inline uint8_t for_bound_type(const uint8_t* init) { return init[1]; }
inline void set_for_bound_type(uint8_t* init, int type) { init[1] = static_cast<uint8_t>(type); }
inline Variable* for_variable(const uint8_t* init) {
  Variable* v;
  std::memcpy(&v, init + kForVarAt, sizeof v);
  return v;
}
inline void set_for_variable(uint8_t* init, Variable* v) { std::memcpy(init + kForVarAt, &v, sizeof v); }
inline uint8_t* for_limit(uint8_t* init) { return init + kForLimitAt; }
inline uint8_t* for_step(uint8_t* init) { return init + kForStepAt; }

// Length of a SOURCE or SOURCE_BREAK record: the head, the name and its NUL, 2-aligned.
inline uint32_t source_inst_size(const uint8_t* p) { return (source_name_length(p) + 9u) & ~1u; }
// Length of a PUSH_STRING: the head, the characters and a NUL, 2-aligned.
inline uint32_t string_inst_size(const uint8_t* p) { return (inst_string_length(p) + 5u) & ~1u; }
// Length of a call: the 8-byte head and the keyword descriptor.
inline uint32_t call_inst_size(const uint8_t* p) { return 8u + inst_desc_length(p); }
// Length of a MAKE_STRUCT: the head and one word per tag.
inline uint32_t make_struct_inst_size(const uint8_t* p) { return 4u + 4u * inst_count(p); }

// Length in bytes of the instruction at p (END: 1; invalid: 0).
inline uint32_t inst_size(const uint8_t* p) {
  uint8_t op = p[0];
  if (op == OP_INVALID || op >= OP_COUNT) return 0;
  if (inst_def[op].length) return inst_def[op].length;
  switch (op) {
    case OP_PUSH_STRING: return string_inst_size(p);
    case OP_SOURCE:
    case OP_SOURCE_BREAK: return source_inst_size(p);
    case OP_MAKE_STRUCT: return make_struct_inst_size(p);
    case OP_CALL_SYSFUN:
    case OP_CALL_SYSPRO:
    case OP_CALL_USERFUN:
    case OP_CALL_USERPRO: return call_inst_size(p);
    default: return 0;
  }
}
// The instruction after the one at p.
inline uint8_t* next_inst(uint8_t* p) { return p + inst_size(p); }
// Offset of the next instruction after the one at offset; 0 for END or an invalid opcode.
uint32_t instruction_length(const CodeBlock* cb, uint32_t offset);

// ---- Emitting -------------------------------------------------------------------------
// Appends an instruction (emitting the pending statement marker first); returns its
// offset, or 0 when the code area is full (error -37 has been reported).
uint32_t enter_inst(const void* inst, uint32_t length, CodeBlock* cb);
// Emits the statement marker (LINE or SOURCE) for the statement that begins.
void enter_seq_inst();

// The 1024-slot table of constants already emitted in a unit (compiling from files).
struct ConstPool {
  uint16_t slot[1024];
};
// Emits a constant: PUSH_CONST_REF to an equal earlier constant when pooling, else
// PUSH_CONST. Returns the offset of the instruction (0 on failure).
uint32_t emit_constant(const Variable& value, CodeBlock* cb, ConstPool* pool);
uint16_t const_hash(const uint8_t* bytes, int n);

// ---- Common blocks ---------------------------------------------------------------------
struct CommonBlock {
  IdentEntry* name;
  int32_t count;
  Variable* vars;      // count zeroed variables
  IdentEntry** names;  // the variables' names as first declared (null until named)
};
CommonBlock* enter_common(IdentEntry* name, int count, bool create);
// Frees every common block (end of session and tests).
void free_common_blocks();
// Visits the common blocks in name order.
int common_block_count();
CommonBlock* common_block_at(int index);

// ---- Listing --------------------------------------------------------------------------
// One line per instruction: "offset  NAME  operands".
std::string list_instruction(const CodeBlock* cb, uint32_t offset);
std::string list_code(const CodeBlock* cb);
// Names system variables in listings (installed by the system-variable module).
extern const char* (*listing_sysvar_name)(uint32_t handle);
void dump();
