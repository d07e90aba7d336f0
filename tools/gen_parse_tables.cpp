// Builds the parser's LALR(1) tables from the grammar in src/compiler/grammar.h and
// writes them as C++ source. Run by the build; the output depends only on the grammar,
// so reruns give identical files.
//
// Table format: a list of entries {kind, symbol, argument}; a state is the index of its
// first entry. Kinds: 0 shift symbol and go to state; 1 shift symbol and reduce by rule;
// 2 reduce by rule when symbol matches (symbol 0: any symbol, rule -1: syntax error);
// 3 continue scanning at the entry given by the symbol field, where a default reached
// later reduces by this entry's argument instead of its own.
//
// Conflicts: shift beats reduce (the dangling ELSE binds to the nearest IF); between two
// reductions the lower rule number wins (a bracketed array inside an array constructor
// is a nested element, rule 15, not an expression). Both are listed in the output.
#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "compiler/grammar.h"

namespace {

constexpr int kEndMark = 101;  // lookahead after the goal; never read as a token
constexpr int kGoal = G_SYMBOL_LIMIT;
constexpr int kSymbols = G_SYMBOL_LIMIT + 1;
using TermSet = std::bitset<128>;

struct Rule {
  int lhs;
  std::vector<int> rhs;
};
std::vector<Rule> rules;  // rule 0 is the augmented goal -> program_unit

bool is_terminal(int s) { return (s >= 1 && s <= 34) || s == 100 || s == kEndMark; }

const char* const kTerminalNames[] = {
#define VEK_TNAME(name, code) #name,
    VEK_TERMINALS(VEK_TNAME)
#undef VEK_TNAME
};
const char* const kNonterminalNames[] = {
#define VEK_NNAME(name) #name,
    VEK_NONTERMINALS(VEK_NNAME)
#undef VEK_NNAME
};

std::string symbol_name(int s) {
  if (s == kEndMark) return "$end";
  if (s == kGoal) return "$goal";
  if (s == 100) return "EOF";
  if (s >= 1 && s <= 34) return kTerminalNames[s - 1];
  if (s >= 35 && s < G_SYMBOL_LIMIT) return kNonterminalNames[s - 35];
  return "?";
}

struct Item {
  int rule, dot;
  bool operator<(const Item& o) const { return rule != o.rule ? rule < o.rule : dot < o.dot; }
  bool operator==(const Item& o) const { return rule == o.rule && dot == o.dot; }
};

std::vector<bool> nullable(kSymbols);
std::vector<TermSet> first(kSymbols);

void compute_first() {
  for (int s = 0; s < kSymbols; s++)
    if (is_terminal(s)) first[s].set(static_cast<size_t>(s));
  bool changed = true;
  while (changed) {
    changed = false;
    for (const Rule& r : rules) {
      bool all_null = true;
      for (int s : r.rhs) {
        TermSet before = first[r.lhs];
        first[r.lhs] |= first[s];
        if (first[r.lhs] != before) changed = true;
        if (!nullable[s]) {
          all_null = false;
          break;
        }
      }
      if (all_null && !nullable[r.lhs]) nullable[r.lhs] = true, changed = true;
    }
  }
}

// FIRST of a symbol string followed by a lookahead set.
TermSet first_of(const std::vector<int>& seq, size_t from, const TermSet& follow) {
  TermSet out;
  for (size_t i = from; i < seq.size(); i++) {
    out |= first[seq[i]];
    if (!nullable[seq[i]]) return out;
  }
  return out | follow;
}

std::vector<Item> closure0(const std::vector<Item>& kernel) {
  std::set<Item> seen(kernel.begin(), kernel.end());
  std::vector<Item> out(kernel.begin(), kernel.end());
  for (size_t i = 0; i < out.size(); i++) {
    const Rule& r = rules[out[i].rule];
    if (out[i].dot >= static_cast<int>(r.rhs.size())) continue;
    int x = r.rhs[out[i].dot];
    if (is_terminal(x)) continue;
    for (int k = 0; k < static_cast<int>(rules.size()); k++)
      if (rules[k].lhs == x && seen.insert({k, 0}).second) out.push_back({k, 0});
  }
  return out;
}

struct State {
  std::vector<Item> kernel;
  std::map<int, int> go;  // symbol -> state
  std::map<Item, TermSet> la;  // kernel lookaheads
};
std::vector<State> states;

void build_lr0() {
  std::map<std::vector<Item>, int> index;
  states.push_back({{{0, 0}}, {}, {}});
  index[states[0].kernel] = 0;
  for (size_t s = 0; s < states.size(); s++) {
    std::vector<Item> items = closure0(states[s].kernel);
    std::map<int, std::vector<Item>> next;
    for (const Item& it : items) {
      const Rule& r = rules[it.rule];
      if (it.dot < static_cast<int>(r.rhs.size())) next[r.rhs[it.dot]].push_back({it.rule, it.dot + 1});
    }
    for (auto& [sym, k] : next) {
      std::sort(k.begin(), k.end());
      auto found = index.find(k);
      int t;
      if (found == index.end()) {
        t = static_cast<int>(states.size());
        index[k] = t;
        states.push_back({k, {}, {}});
      } else {
        t = found->second;
      }
      states[s].go[sym] = t;
    }
  }
}

// LR(1) closure of a state's kernel with its current lookaheads.
std::map<Item, TermSet> closure1(const State& st) {
  std::map<Item, TermSet> items;
  for (const Item& k : st.kernel) {
    auto it = st.la.find(k);
    items[k] = it == st.la.end() ? TermSet() : it->second;
  }
  bool changed = true;
  while (changed) {
    changed = false;
    for (auto& [item, la] : items) {
      const Rule& r = rules[item.rule];
      if (item.dot >= static_cast<int>(r.rhs.size())) continue;
      int x = r.rhs[item.dot];
      if (is_terminal(x)) continue;
      TermSet f = first_of(r.rhs, static_cast<size_t>(item.dot) + 1, la);
      for (int k = 0; k < static_cast<int>(rules.size()); k++) {
        if (rules[k].lhs != x) continue;
        TermSet& dst = items[{k, 0}];
        TermSet before = dst;
        dst |= f;
        if (dst != before) changed = true;
      }
      if (changed) break;  // the map may have grown: restart the scan
    }
  }
  return items;
}

void compute_lookaheads() {
  states[0].la[{0, 0}].set(kEndMark);
  bool changed = true;
  while (changed) {
    changed = false;
    for (State& st : states) {
      auto items = closure1(st);
      for (auto& [item, la] : items) {
        const Rule& r = rules[item.rule];
        if (item.dot >= static_cast<int>(r.rhs.size())) continue;
        State& to = states[static_cast<size_t>(st.go.at(r.rhs[item.dot]))];
        TermSet& dst = to.la[{item.rule, item.dot + 1}];
        TermSet before = dst;
        dst |= la;
        if (dst != before) changed = true;
      }
    }
  }
}

struct Entry {
  int kind, symbol, arg;
  bool operator==(const Entry& o) const { return kind == o.kind && symbol == o.symbol && arg == o.arg; }
  bool operator<(const Entry& o) const {
    if (symbol != o.symbol) return symbol < o.symbol;
    if (kind != o.kind) return kind < o.kind;
    return arg < o.arg;
  }
};

// A state whose only item is one completed rule: entering it always reduces, so the
// transition into it becomes a shift-and-reduce entry and the state is never emitted.
int reduce_only_rule(const State& st) {
  if (st.kernel.size() != 1) return -1;
  const Item& it = st.kernel[0];
  return it.dot == static_cast<int>(rules[it.rule].rhs.size()) ? it.rule : -1;
}

std::string item_text(const Item& it) {
  const Rule& r = rules[it.rule];
  std::string s = symbol_name(r.lhs) + " =";
  for (size_t i = 0; i <= r.rhs.size(); i++) {
    if (static_cast<int>(i) == it.dot) s += " .";
    if (i < r.rhs.size()) s += " " + symbol_name(r.rhs[i]);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  rules.push_back({kGoal, {G_program_unit}});
  for (int i = 1; i < N_RULES; i++) {
    const GrammarRule& g = grammar_rules[i];
    rules.push_back({g.lhs, std::vector<int>(g.rhs, g.rhs + g.n_rhs)});
  }
  compute_first();
  build_lr0();
  compute_lookaheads();

  int sr_conflicts = 0, rr_conflicts = 0;
  std::vector<std::vector<Entry>> explicit_entries(states.size());
  std::vector<int> default_rule(states.size(), -1);
  std::vector<std::string> notes;
  for (size_t s = 0; s < states.size(); s++) {
    if (reduce_only_rule(states[s]) >= 0) continue;
    std::map<int, int> reduce_on;  // terminal -> rule
    for (auto& [item, la] : closure1(states[s])) {
      if (item.dot != static_cast<int>(rules[item.rule].rhs.size()) || item.rule == 0) continue;
      for (int t = 0; t < 128; t++) {
        if (!la.test(static_cast<size_t>(t))) continue;
        auto prev = reduce_on.find(t);
        if (prev != reduce_on.end() && prev->second != item.rule) {
          rr_conflicts++;
          notes.push_back("reduce/reduce on " + symbol_name(t) + " in state " + std::to_string(s));
          prev->second = std::min(prev->second, item.rule);
        } else {
          reduce_on[t] = item.rule;
        }
      }
    }
    std::vector<Entry>& out = explicit_entries[s];
    for (auto& [sym, to] : states[s].go) {
      if (reduce_on.count(sym)) {
        sr_conflicts++;
        notes.push_back("shift/reduce on " + symbol_name(sym) + " in state " + std::to_string(s) +
                        " (shift; rule " + std::to_string(reduce_on[sym]) + " not used)");
        reduce_on.erase(sym);
      }
      if (sym == kGoal || sym == kEndMark) continue;
      int r = reduce_only_rule(states[static_cast<size_t>(to)]);
      if (r == 0) continue;  // the goal: the parser stops before looking for an entry
      out.push_back(r >= 0 ? Entry{1, sym, r} : Entry{0, sym, to});
    }
    reduce_on.erase(kEndMark);
    // The most frequent reduction becomes the default; ties go to the lower rule.
    std::map<int, int> count;
    for (auto& [t, r] : reduce_on) count[r]++;
    int best = -1, best_n = 0;
    for (auto& [r, n] : count)
      if (n > best_n) best = r, best_n = n;
    default_rule[s] = best;
    for (auto& [t, r] : reduce_on)
      if (r != best) out.push_back({2, t, r});
    std::sort(out.begin(), out.end());
  }

  // Shared tails: a block of entries common to several states is placed at the end of
  // the first of them (its host); the others end with a link into the host's entries.
  // Chosen greedily by the number of entries saved; each state takes part in one block.
  std::vector<size_t> live;
  for (size_t s = 0; s < states.size(); s++)
    if (reduce_only_rule(states[s]) < 0) live.push_back(s);
  std::vector<int> block_of(states.size(), -1);
  std::vector<std::vector<Entry>> blocks;
  std::vector<size_t> block_host;
  for (;;) {
    std::set<std::vector<Entry>> candidates;
    for (size_t i = 0; i < live.size(); i++) {
      if (block_of[live[i]] >= 0) continue;
      for (size_t j = i + 1; j < live.size(); j++) {
        if (block_of[live[j]] >= 0) continue;
        const auto& a = explicit_entries[live[i]];
        const auto& b = explicit_entries[live[j]];
        std::vector<Entry> common;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
        if (common.size() >= 3) candidates.insert(common);
      }
    }
    long best_saving = 0;
    const std::vector<Entry>* best = nullptr;
    std::vector<size_t> best_users;
    for (const auto& c : candidates) {
      std::vector<size_t> users;
      for (size_t s : live)
        if (block_of[s] < 0 && std::includes(explicit_entries[s].begin(), explicit_entries[s].end(), c.begin(), c.end()))
          users.push_back(s);
      long saving = static_cast<long>(users.size() - 1) * static_cast<long>(c.size() - 1);
      if (saving > best_saving) best_saving = saving, best = &c, best_users = users;
    }
    if (!best) break;
    for (size_t s : best_users) block_of[s] = static_cast<int>(blocks.size());
    blocks.push_back(*best);
    block_host.push_back(best_users[0]);
  }

  std::vector<Entry> table{{0, 0, 0}};  // entry 0 is unused: states start at 1
  std::vector<int> state_at(states.size(), -1);
  std::vector<int> block_at(blocks.size(), -1);
  std::vector<std::pair<size_t, int>> links;  // table index, block
  std::string listing;
  for (size_t s : live) {
    const std::vector<Entry>& mine = explicit_entries[s];
    state_at[s] = static_cast<int>(table.size());
    listing += "// state " + std::to_string(table.size()) + ":";
    for (const Item& it : states[s].kernel) listing += "  [" + item_text(it) + "]";
    listing += "\n";
    int b = block_of[s];
    if (b < 0) {
      table.insert(table.end(), mine.begin(), mine.end());
      table.push_back({2, 0, default_rule[s]});
      continue;
    }
    const std::vector<Entry>& shared = blocks[static_cast<size_t>(b)];
    for (const Entry& e : mine)
      if (!std::binary_search(shared.begin(), shared.end(), e)) table.push_back(e);
    if (block_host[static_cast<size_t>(b)] == s) {
      block_at[static_cast<size_t>(b)] = static_cast<int>(table.size());
      table.insert(table.end(), shared.begin(), shared.end());
      table.push_back({2, 0, default_rule[s]});
    } else {
      links.push_back({table.size(), b});
      table.push_back({3, 0, default_rule[s]});
    }
  }
  for (auto& [at, b] : links) table[at].symbol = block_at[static_cast<size_t>(b)];
  for (Entry& e : table)
    if (e.kind == 0) e.arg = state_at[static_cast<size_t>(e.arg)];
  if (state_at[0] != 1) {
    std::fprintf(stderr, "start state is not at entry 1\n");
    return 1;
  }

  FILE* f = std::fopen(argv[1], "w");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(f, "// Generated by tools/gen_parse_tables.cpp from src/compiler/grammar.h. Do not edit.\n");
  std::fprintf(f, "// %zu states, %zu entries, %d shift/reduce conflicts resolved by shifting.\n", live.size(),
               table.size() - 1, sr_conflicts);
  for (const std::string& n : notes) std::fprintf(f, "// conflict: %s\n", n.c_str());
  std::fprintf(f, "%s", listing.c_str());
  std::fprintf(f, "constexpr int PARSE_START_STATE = 1;\n");
  std::fprintf(f, "constexpr int PARSE_N_STATES = %zu;\n", live.size());
  std::fprintf(f, "constexpr ParseEntry parse_table[] = {\n");
  for (size_t i = 0; i < table.size(); i++)
    std::fprintf(f, "    {%d, %d, %d},  // %zu\n", table[i].kind, table[i].symbol, table[i].arg, i);
  std::fprintf(f, "};\n");
  std::fclose(f);
  for (const std::string& n : notes) std::printf("gen_parse_tables: %s\n", n.c_str());
  return 0;
}
