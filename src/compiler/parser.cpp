#include "compiler/parser.h"

#include <cstdlib>
#include <cstring>

#include "base/message.h"
#include "compiler/actions.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/grammar.h"

namespace {

#include "parse_tables.inc"

constexpr SemAction kActions[N_RULES] = {
    nullptr,
#define VEK_ACTION_ENTRY(num, lhs, act, rhs) act,
    VEK_GRAMMAR(VEK_ACTION_ENTRY)
#undef VEK_ACTION_ENTRY
};

// Thrown when the scan-block pool is exhausted; ends the unit.
struct PoolExhausted {};

// ---- Compiler heap ------------------------------------------------------------------
// Blocks carry a two-pointer header linking them into one circular list.
struct HeapHeader {
  HeapHeader* next;
  HeapHeader* prev;
};
HeapHeader heap_ring = {&heap_ring, &heap_ring};

}  // namespace

UnitState unit_state;

const ParseEntry* parse_entries() { return parse_table; }
int parse_entry_count() { return static_cast<int>(sizeof parse_table / sizeof parse_table[0]); }

void* parse_malloc(size_t n) {
  auto* h = static_cast<HeapHeader*>(std::malloc(sizeof(HeapHeader) + n));
  if (!h) message_error(M_NO_MEMORY, 0, MSG_LONGJMP, "compiler");
  h->next = heap_ring.next;
  h->prev = &heap_ring;
  heap_ring.next->prev = h;
  heap_ring.next = h;
  std::memset(h + 1, 0, n);
  return h + 1;
}

void parse_free(void* p) {
  if (p) {
    HeapHeader* h = static_cast<HeapHeader*>(p) - 1;
    h->prev->next = h->next;
    h->next->prev = h->prev;
    std::free(h);
    return;
  }
  while (heap_ring.next != &heap_ring) parse_free(heap_ring.next + 1);
}

// ---- Scan blocks -----------------------------------------------------------------------

ScanBlock* get_scnblk() {
  ScanBlock* b = cstate.free_blocks;
  if (!b) {
    scnerr(M_COMPILER_SPACE, 0, MSG_CONTINUE);
    throw PoolExhausted{};
  }
  cstate.free_blocks = b->link;
  std::memset(static_cast<void*>(b), 0, sizeof *b);
  b->off = b->off2 = -1;
  return b;
}

void ret_scnblk(ScanBlock* b) {
  b->link = cstate.free_blocks;
  cstate.free_blocks = b;
}

ScanBlock* rhs_block(ScanBlock* top, int n, int i) {
  for (int k = n - 1; k > i; k--) top = top->link;
  return top;
}

void sem_action(int rule, ScanBlock* top, ScanBlock* result) {
  if (rule > 0 && rule < N_RULES && kActions[rule]) kActions[rule](rule, top, result);
}

void check_end(const ScanBlock* block, const char* expected) {
  if (!(block->flags & SB_BLOCK)) return;
  if (std::strcmp(block->end_word, "END") == 0 || std::strcmp(block->end_word, expected) == 0) return;
  scnerr(M_END_MISMATCH, 0, MSG_CONTINUE, expected);
}

// ---- The parse loop ------------------------------------------------------------------------

namespace {

// Reads the next token into b. A lexical error has already been reported; the rest of
// its line is dropped and the caller recovers as from a syntax error, with an end of
// statement standing in for the bad token.
bool read_token(ScanBlock* b) {
  try {
    gettok(&b->tok);
  } catch (const VekJump& j) {
    if (j.code != M_ILLEGAL_CHAR && j.code != M_BAD_HEX_OCTAL && j.code != M_BYTE_CONST) throw;
    cstate.cursor = nullptr;
    b->tok = Token{};
    b->tok.code = TOK_EOS;
    b->sym = TOK_EOS;
    return false;
  }
  b->sym = b->tok.code;
  if (b->sym == TOK_END) {
    size_t n = strnlen(b->tok.value.word, sizeof b->end_word - 1);
    std::memcpy(b->end_word, b->tok.value.word, n);
    b->end_word[n] = 0;
  } else if (b->sym == TOK_IDENT) {
    b->ident = ident_hash(b->tok.text, b->tok.length, 0, MSG_LONGJMP);
  }
  return true;
}

// True when the state's entries shift an end of statement.
bool shifts_eos(int state) {
  for (int i = state;; i++) {
    const ParseEntry& e = parse_table[i];
    if (e.kind == 3) {
      i = e.symbol - 1;
      continue;
    }
    if ((e.kind == 0 || e.kind == 1) && e.symbol == TOK_EOS) return true;
    if (e.kind == 2 && e.symbol == 0) return false;
  }
}

struct Parser {
  ScanBlock* stack = nullptr;  // top of the parse stack
  int state = PARSE_START_STATE;
  ScanBlock* pending = nullptr;    // a reduced non-terminal waiting to be matched
  ScanBlock* lookahead = nullptr;  // the next token

  void push(ScanBlock* b) {
    // Code emitted after an end of statement belongs to the next statement.
    if (b->sym == TOK_EOS) cstate.stmt_start = true;
    b->state = state;
    b->link = stack;
    stack = b;
  }

  // Reduces by rule r; leaves the non-terminal in `pending`.
  void reduce(int r) {
    const GrammarRule& g = grammar_rules[r];
    ScanBlock* result = g.n_rhs ? stack : get_scnblk();
    if (!g.n_rhs) result->state = state;
    sem_action(r, stack, result);
    ScanBlock* keep = result;
    for (int i = 0; i < g.n_rhs; i++) {
      ScanBlock* b = stack;
      stack = b->link;
      state = b->state;
      if (b != keep) ret_scnblk(b);
    }
    keep->sym = g.lhs;
    keep->link = nullptr;
    pending = keep;
  }

  // Pops to a state that shifts an end of statement and skips input up to the next
  // one, which becomes the lookahead. Returns false at the end of input.
  bool recover() {
    if (pending) {
      ret_scnblk(pending);
      pending = nullptr;
    }
    while (!shifts_eos(state)) {
      ScanBlock* b = stack;
      if (!b) break;
      stack = b->link;
      state = b->state;
      ret_scnblk(b);
    }
    while (lookahead->sym != TOK_EOS) {
      if (lookahead->sym == TOK_EOF) {
        scnerr(M_EOF_IN_PROGRAM, 0, MSG_CONTINUE);
        return false;
      }
      read_token(lookahead);
    }
    return true;
  }

  void release_all() {
    for (ScanBlock* b : {pending, lookahead})
      if (b) ret_scnblk(b);
    pending = lookahead = nullptr;
    while (stack) {
      ScanBlock* b = stack;
      stack = b->link;
      ret_scnblk(b);
    }
  }

  // The end of the unit: the closing instructions.
  void finish_unit(ScanBlock* unit) {
    if (std::strcmp(unit->end_word, "END") != 0) scnerr(M_END_MISMATCH, 0, MSG_CONTINUE, "END");
    if (cstate.single_stmt) cstate.stmt_start = false;
    if (unit_state.in_routine) emit_op(OP_IMPLICIT_RETURN);
    emit_op(OP_END);
  }

  int run() {
    lookahead = get_scnblk();
    bool ok = read_token(lookahead);
    if (!cstate.single_stmt)
      while (ok && lookahead->sym == TOK_EOS) ok = read_token(lookahead);
    if (lookahead->sym == TOK_EOF) {
      release_all();
      return 0;
    }
    cstate.stmt_start = true;
    if (!ok && !recover()) return 0;

    for (;;) {
      if (!lookahead) {
        lookahead = get_scnblk();
        if (!read_token(lookahead)) {
          if (!recover()) return 0;
          continue;
        }
      }
      ScanBlock* cur = pending ? pending : lookahead;
      int sym = cur->sym;
      int i = state;
      int default_override = -2;  // set by the first shared-tail link followed
      int action = -1, arg = 0;
      for (;; i++) {
        const ParseEntry& e = parse_table[i];
        if (e.kind == 3) {
          if (default_override == -2) default_override = e.arg;
          i = e.symbol - 1;
          continue;
        }
        if (e.kind == 2 && e.symbol == 0) {
          action = 2;
          arg = default_override != -2 ? default_override : e.arg;
          break;
        }
        if (e.symbol == sym) {
          action = e.kind;
          arg = e.arg;
          break;
        }
      }
      if (action == 2 && cur == pending) arg = -1;  // a goto is always explicit
      if (action == 2 && arg < 0) {
        // Syntax error.
        if (lookahead->sym == TOK_EOF) {
          scnerr(M_EOF_IN_PROGRAM, 0, MSG_CONTINUE);
          return 0;
        }
        scnerr(M_SYNTAX, 0, MSG_CONTINUE);
        if (!recover()) return 0;
        continue;
      }
      if (action == 0 || action == 1) {
        if (cur == pending) pending = nullptr;
        else lookahead = nullptr;
        push(cur);
        if (action == 0) {
          state = arg;
          continue;
        }
      }
      reduce(arg);
      if (pending->sym == G_program_unit && !stack) {
        finish_unit(pending);
        ret_scnblk(pending);
        pending = nullptr;
        if (lookahead) ret_scnblk(lookahead);
        lookahead = nullptr;
        return 1;
      }
    }
  }
};

}  // namespace

int parse(ScanBlock* area, int count) {
  cstate.free_blocks = nullptr;
  for (int i = count - 1; i >= 0; i--) ret_scnblk(&area[i]);
  cstate.for_depth = cstate.block_depth = cstate.bracket_depth = 0;
  Parser p;
  try {
    int r = p.run();
    p.release_all();
    return r;
  } catch (const PoolExhausted&) {
    return 0;
  }
}
