#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "interp/routines.h"
#include "session/startup.h"
#include "test_support.h"
#include "values/strings.h"
#include "values/struct.h"

namespace {

// Routine tables -------------------------------------------------------------------

void proc_a(int, Variable*[], KwNames) {}
void proc_b(int, Variable*[], KwNames) {}

class RoutineTableTest : public VekTest {
 protected:
  void TearDown() override {
    if (table_) counting_free(table_);
    VekTest::TearDown();
  }
  std::vector<std::string> names() const {
    std::vector<std::string> n;
    for (uint32_t k = 0; k < table_->count; k++) n.push_back(table_->entries[k]->name);
    return n;
  }
  RoutineTable* table_ = nullptr;
};

TEST_F(RoutineTableTest, MergeKeepsOrderAndReplacesEqualNames) {
  static const RoutineEntry first[] = {{proc_a, "BETA", 0, 1}, {proc_a, "DELTA", 0, 1}, {proc_a, "PHI", 1, 2}};
  static const RoutineEntry second[] = {{proc_b, "ALPHA", 0, 0}, {proc_b, "DELTA", 2, 3, true}, {proc_b, "ZETA", 0, 0}};
  ASSERT_EQ(add_to_routine_table(&table_, first, 3), 1);
  ASSERT_EQ(add_to_routine_table(&table_, second, 3), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"ALPHA", "BETA", "DELTA", "PHI", "ZETA"}));
  const RoutineEntry* d = routine_lookup(table_, "DELTA");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d, &second[1]) << "the later addition replaces the old entry";
  EXPECT_EQ(d->min(), 2);
  EXPECT_TRUE(d->accepts_keywords());
  EXPECT_EQ(routine_lookup(table_, "PHI"), &first[2]);
  // Exact names only: routine names are never abbreviated.
  EXPECT_EQ(routine_lookup(table_, "DEL"), nullptr);
  EXPECT_EQ(routine_lookup(table_, "DELTAX"), nullptr);
}

TEST_F(RoutineTableTest, OutOfOrderAdditionIsRefusedWhole) {
  static const RoutineEntry base[] = {{proc_a, "M", 0, 0}};
  static const RoutineEntry unsorted[] = {{proc_b, "A", 0, 0}, {proc_b, "C", 0, 0}, {proc_b, "B", 0, 0}};
  static const RoutineEntry twice[] = {{proc_b, "K", 0, 0}, {proc_b, "K", 0, 0}};
  ASSERT_EQ(add_to_routine_table(&table_, base, 1), 1);
  RoutineTable* before = table_;
  EXPECT_EQ(add_to_routine_table(&table_, unsorted, 3), 0);
  EXPECT_EQ(add_to_routine_table(&table_, twice, 2), 0);
  EXPECT_EQ(table_, before);
  EXPECT_EQ(names(), std::vector<std::string>{"M"});
  EXPECT_EQ(routine_lookup(table_, "A"), nullptr);
}

TEST_F(RoutineTableTest, TableGrowsAcrossManyAdditions) {
  // 300 one-entry additions in descending order, then a block merged into the middle.
  static std::vector<std::string> names_store;
  static std::vector<RoutineEntry> entries;
  if (entries.empty()) {
    for (int k = 0; k < 300; k++) names_store.push_back("R" + std::to_string(1000 + k));
    for (const auto& n : names_store) entries.emplace_back(proc_a, n.c_str(), 0, 0);
  }
  for (int k = 299; k >= 0; k--) ASSERT_EQ(add_to_routine_table(&table_, &entries[static_cast<size_t>(k)], 1), 1);
  ASSERT_EQ(table_->count, 300u);
  EXPECT_GE(table_->capacity, table_->count);
  for (uint32_t k = 1; k < table_->count; k++)
    ASSERT_LT(strcmp(table_->entries[k - 1]->name, table_->entries[k]->name), 0);
  for (const auto& e : entries) EXPECT_EQ(routine_lookup(table_, e.name), &e);
}

TEST(SystemTables, InitialisationIsDoneOnce) {
  init_system_tables();
  ASSERT_NE(sys_fun_table, nullptr);
  ASSERT_NE(sys_pro_table, nullptr);
  RoutineTable* f = sys_fun_table;
  init_system_tables();
  EXPECT_EQ(sys_fun_table, f);
  // The lexer's index and the entry agree.
  for (uint32_t k = 0; k < sys_fun_table->count; k++)
    EXPECT_EQ(sys_fun_index(sys_fun_table->entries[k]->name), static_cast<int>(k));
}

// Keyword decoding ------------------------------------------------------------------

// Targets of the test routine family. Mask 1: the "plot" routine, mask 2: the "axis"
// routine.
struct Targets {
  int32_t color_set, charsize_set, title_set, xrange_set, zvar_set, zout_set;
  int32_t color;
  float charsize;
  uint32_t bits;
  StringDesc title, subtitle;
  double xrange[2];
  KwArray xrange_kw;
  float position[4];
  KwArray position_kw;
  int32_t max, max_value, xstyle;
  Variable* zvar;
  Variable* zout;
};
Targets tg;
KwClearList header_clear;

constexpr int kPlot = 1, kAxis = 2;

const KwEntry kPlotKeywords[] = {
    {"CHARSIZE", TYP_FLOAT, 3, 0, &tg.charsize_set, &tg.charsize},
    {"COLOR", TYP_LONG, 3, KW_CLEAR, &tg.color_set, &tg.color},
    {"MAX", TYP_LONG, 1, 0, nullptr, &tg.max},
    {"MAX_VALUE", TYP_LONG, 1, 0, nullptr, &tg.max_value},
    {"NODATA", 0, 1, KW_BITFLAG | KW_CLEAR | 4, nullptr, &tg.bits},
    {"NOERASE", 0, 1, KW_BITFLAG | 8, nullptr, &tg.bits},
    {"POSITION", TYP_FLOAT, 3, KW_ARRAY | KW_CLEAR, nullptr, &tg.position_kw},
    {"SUBTITLE", TYP_STRING, 1, 0, nullptr, &tg.subtitle},
    {"TITLE", TYP_STRING, 1, 0, &tg.title_set, &tg.title},
    {"XLOG", 0, 1, KW_BITFLAG | 1, nullptr, &tg.bits},
    {"XRANGE", TYP_DOUBLE, 3, KW_ARRAY, &tg.xrange_set, &tg.xrange_kw},
    {"XSTYLE", TYP_LONG, 2, 0, nullptr, &tg.xstyle},
    {"ZOUT", 0, 3, KW_OUTPUT, &tg.zout_set, &tg.zout},
    {"ZVAR", 0, 3, KW_VARIABLE, &tg.zvar_set, &tg.zvar},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

const KwEntry kHeaderKeywords[] = {
    {"", 0, 0, 2, nullptr, &header_clear},
    {"COLOR", TYP_LONG, 1, KW_CLEAR, &tg.color_set, &tg.color},
    {"XRANGE", TYP_DOUBLE, 1, KW_ARRAY | KW_CLEAR, &tg.xrange_set, &tg.xrange_kw},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

const char* current_routine = "PLOT";
const char* test_routine_name() { return current_routine; }

class KeywordTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    tg = Targets{};
    tg.xrange_kw = KwArray{tg.xrange, 2, 2, 0};
    tg.position_kw = KwArray{tg.position, 4, 4, 0};
    saved_hooks_ = message_hooks;
    message_hooks.current_sysroutine = test_routine_name;
    keyword_cleanup(KW_CLEANUP_OPEN);
  }
  void TearDown() override {
    keyword_cleanup(KW_CLEANUP_ALL);
    for (Variable& v : named_) delvar(&v);
    message_hooks = saved_hooks_;
    VekTest::TearDown();
  }

  // A named variable (stable address) holding a scalar.
  Variable* named_scalar(int type, const void* value) {
    named_.emplace_back();
    store_scalar(&named_.back(), type, value);
    return &named_.back();
  }
  Variable* named_int(int16_t v) { return named_scalar(TYP_INT, &v); }
  Variable* named_string(const char* s) {
    StringDesc d{static_cast<uint16_t>(strlen(s)), 0, const_cast<char*>(s)};
    return named_scalar(TYP_STRING, &d);
  }
  // A named array of the given type with n elements from values.
  template <typename T>
  Variable* named_array(int type, std::initializer_list<T> values) {
    named_.emplace_back();
    Variable* v = &named_.back();
    int32_t n = static_cast<int32_t>(values.size());
    make_array(1, &n, v, type_size[type]);
    v->type = static_cast<uint8_t>(type);
    std::copy(values.begin(), values.end(), elems<T>(v));
    return v;
  }
  Variable* constant_long(int32_t x) {
    named_.emplace_back();
    Variable* v = &named_.back();
    v->type = TYP_LONG;
    v->flags = FLAG_CONSTANT;
    v->value.l = x;
    return v;
  }

  // Decodes a call with the given (name, value) arguments ("" = positional).
  int call(std::vector<std::pair<const char*, Variable*>> args, int mask = kPlot, const KwEntry* table = kPlotKeywords) {
    names_.clear();
    argv_.clear();
    for (auto& [n, v] : args) {
      names_.push_back(n);
      argv_.push_back(v);
    }
    positional_.assign(args.size() + 1, nullptr);
    return get_kw_params(static_cast<int>(args.size()), argv_.data(), names_.data(), table, positional_.data(), mask);
  }
  int call_error(std::vector<std::pair<const char*, Variable*>> args, int mask = kPlot) {
    return error_code_of([&] { call(std::move(args), mask); });
  }

  std::deque<Variable> named_;
  std::vector<const char*> names_;
  std::vector<Variable*> argv_, positional_;
  MessageHooks saved_hooks_;
};

TEST_F(KeywordTest, PositionalArgumentsAreCopiedInOrder) {
  Variable* x = named_int(1);
  Variable* y = named_int(2);
  Variable* c = named_int(5);
  EXPECT_EQ(call({{"", x}, {"COLOR", c}, {"", y}}), 2);
  EXPECT_EQ(positional_[0], x);
  EXPECT_EQ(positional_[1], y);
  EXPECT_EQ(tg.color, 5);
  // No name list at all: everything is positional.
  Variable* argv[] = {y, x};
  Variable* pos[2] = {};
  EXPECT_EQ(get_kw_params(2, argv, nullptr, kPlotKeywords, pos, kPlot), 2);
  EXPECT_EQ(pos[0], y);
  EXPECT_EQ(pos[1], x);
}

TEST_F(KeywordTest, UniqueAbbreviationsMatch) {
  Variable* r = named_array<float>(TYP_FLOAT, {0.0f, 1.5f});
  Variable* cs = named_int(3);
  call({{"CH", cs}, {"XRAN", r}});
  EXPECT_EQ(tg.charsize_set, 1);
  EXPECT_EQ(tg.charsize, 3.0f);
  EXPECT_EQ(tg.xrange_set, 1);
  EXPECT_EQ(tg.xrange_kw.count, 2);
  EXPECT_EQ(tg.xrange[0], 0.0);
  EXPECT_EQ(tg.xrange[1], 1.5);
}

TEST_F(KeywordTest, AmbiguousAbbreviations) {
  Variable* one = named_int(1);
  EXPECT_EQ(call_error({{"NO", one}}), M_KW_AMBIGUOUS);
  EXPECT_EQ(call_error({{"X", one}}), M_KW_AMBIGUOUS);
  // An exact name that begins a neighbour's name is ambiguous as well.
  EXPECT_EQ(call_error({{"MAX", one}}), M_KW_AMBIGUOUS);
  EXPECT_EQ(call_error({{"MAX_", one}}), 0);
  EXPECT_EQ(tg.max_value, 1);
  // Entries masked out for this routine do not make a name ambiguous: "XS" is XSTYLE for
  // the axis routine, and "X" there is shared only with XLOG-less entries that apply.
  EXPECT_EQ(call_error({{"XS", one}}, kAxis), 0);
  EXPECT_EQ(tg.xstyle, 1);
  EXPECT_EQ(call_error({{"X", one}}, kAxis), M_KW_AMBIGUOUS);  // XRANGE and XSTYLE
}

TEST_F(KeywordTest, UnknownOrMaskedKeywordNamesTheRoutine) {
  Variable* one = named_int(1);
  EXPECT_EQ(call_error({{"BOGUS", one}}), M_KW_NOT_ALLOWED);
  EXPECT_NE(ur_err_string.find("BOGUS"), std::string::npos);
  EXPECT_NE(ur_err_string.find("PLOT"), std::string::npos);
  EXPECT_EQ(call_error({{"XSTYLE", one}}, kPlot), M_KW_NOT_ALLOWED);
  current_routine = "AXIS";
  EXPECT_EQ(call_error({{"NODATA", one}}, kAxis), M_KW_NOT_ALLOWED);
  EXPECT_NE(ur_err_string.find("AXIS"), std::string::npos);
  current_routine = "PLOT";
}

TEST_F(KeywordTest, KeywordGivenTwiceIsADuplicate) {
  Variable* one = named_int(1);
  Variable* r = named_array<float>(TYP_FLOAT, {0.0f, 1.0f});
  EXPECT_EQ(call_error({{"XR", r}, {"XRANGE", r}}), M_KW_DUPLICATE);
  EXPECT_NE(ur_err_string.find("XRANGE"), std::string::npos);
  EXPECT_EQ(call_error({{"COL", one}, {"COLOR", one}}), M_KW_DUPLICATE);
  // Different keywords in name order are fine.
  EXPECT_EQ(call_error({{"COLOR", one}, {"XLOG", one}, {"XR", r}}), 0);
}

TEST_F(KeywordTest, BitFlagKeywords) {
  int16_t zero = 0, two = 2;
  Variable* set = named_int(1);
  call({{"NODATA", set}});
  EXPECT_EQ(tg.bits, 4u);
  call({{"NODATA", named_int(zero)}});
  EXPECT_EQ(tg.bits, 0u) << "NODATA clears its target first; a false value sets nothing";
  call({{"NODATA", named_int(two)}, {"NOERASE", set}, {"XLOG", set}});
  EXPECT_EQ(tg.bits, 4u | 8u | 1u) << "any non-zero value is true";
  // Flags count as set when non-zero, not when odd.
  float half = 0.5f;
  call({{"NODATA", named_scalar(TYP_FLOAT, &half)}});
  EXPECT_EQ(tg.bits, 4u);
  EXPECT_EQ(call_error({{"NODATA", named_array<int16_t>(TYP_INT, {1, 1})}}), M_NOT_SCALAR);
}

TEST_F(KeywordTest, PresenceAndClearingAreResetEachCall) {
  Variable* c = named_int(7);
  call({{"CHARSIZE", c}, {"COLOR", c}});
  EXPECT_EQ(tg.color_set, 1);
  EXPECT_EQ(tg.charsize_set, 1);
  call({});
  EXPECT_EQ(tg.color_set, 0);
  EXPECT_EQ(tg.charsize_set, 0);
  EXPECT_EQ(tg.color, 0) << "COLOR is cleared before decoding";
  EXPECT_EQ(tg.charsize, 7.0f) << "CHARSIZE keeps its target";
  // A masked-out entry is left alone.
  tg.color = 9;
  tg.color_set = 1;
  call({}, 4);
  EXPECT_EQ(tg.color, 9);
  EXPECT_EQ(tg.color_set, 1);
}

TEST_F(KeywordTest, HeaderTableClearsThroughItsList) {
  Variable* c = named_int(3);
  Variable* r = named_array<int16_t>(TYP_INT, {4, 5});
  call({{"COLOR", c}, {"XRANGE", r}}, kPlot, kHeaderKeywords);
  EXPECT_EQ(tg.color, 3);
  EXPECT_EQ(tg.xrange[1], 5.0);
  EXPECT_TRUE(header_clear.built);
  call({}, kPlot, kHeaderKeywords);
  EXPECT_EQ(tg.color_set, 0);
  EXPECT_EQ(tg.xrange_set, 0);
  EXPECT_EQ(tg.color, 0);
  EXPECT_EQ(tg.xrange[0], 0.0);
  EXPECT_EQ(tg.xrange[1], 0.0);
  call({{"XR", r}}, kPlot, kHeaderKeywords);
  EXPECT_EQ(tg.xrange[0], 4.0);
}

TEST_F(KeywordTest, ScalarKeywordsConvertAndRequireScalars) {
  double d = 2.75;
  call({{"COLOR", named_scalar(TYP_DOUBLE, &d)}});
  EXPECT_EQ(tg.color, 2) << "LONG keywords truncate";
  EXPECT_EQ(call_error({{"COLOR", named_array<int16_t>(TYP_INT, {1, 2})}}), M_NOT_SCALAR);
  EXPECT_EQ(call_error({{"COLOR", &named_.emplace_back()}}), M_UNDEFINED);
}

TEST_F(KeywordTest, StringKeywords) {
  Variable* s = named_string("Hello");
  call({{"TITLE", s}});
  EXPECT_EQ(tg.title.length, 5);
  EXPECT_EQ(tg.title.chars, s->value.str.chars) << "a string argument is used in place";
  EXPECT_EQ(tg.title.owned, 0);

  uint32_t before = mem_counters.bytes_in_use;
  keyword_cleanup(KW_CLEANUP_OPEN);
  call({{"SUBTITLE", named_int(42)}, {"TITLE", constant_long(-7)}});
  EXPECT_EQ(std::string(tg.subtitle.chars, tg.subtitle.length), "      42");
  EXPECT_EQ(std::string(tg.title.chars, tg.title.length), "          -7");
  EXPECT_EQ(tg.title.owned, 0) << "the routine must not free it";
  EXPECT_GT(mem_counters.bytes_in_use, before);
  keyword_cleanup(KW_CLEANUP_CLOSE);
  EXPECT_EQ(mem_counters.bytes_in_use, before) << "converted strings are released at clean-up";
}

TEST_F(KeywordTest, ArrayKeywordBounds) {
  Variable* three = named_array<int16_t>(TYP_INT, {1, 2, 3});
  EXPECT_EQ(call_error({{"POSITION", three}}), M_KW_ARRAY_COUNT);
  EXPECT_NE(ur_err_string.find("from 4 to 4"), std::string::npos);
  EXPECT_EQ(call_error({{"XRANGE", named_int(1)}}), M_KW_ARRAY_COUNT);
  call({{"POSITION", named_array<int32_t>(TYP_LONG, {1, 2, 3, 4})}});
  EXPECT_EQ(tg.position_kw.count, 4);
  EXPECT_EQ(tg.position[3], 4.0f);
}

TEST_F(KeywordTest, OutputAndPassThroughKeywords) {
  Variable* named = named_int(1);
  call({{"ZOUT", named}, {"ZVAR", named}});
  EXPECT_EQ(tg.zout, named);
  EXPECT_EQ(tg.zvar, named);
  EXPECT_EQ(tg.zvar_set, 1);
  // Pass-through keywords need a named variable.
  EXPECT_EQ(call_error({{"ZVAR", constant_long(3)}}), M_NOT_NAMED);
  Variable* t = make_long_temp(3);
  EXPECT_EQ(call_error({{"ZVAR", t}}), M_NOT_NAMED);
  EXPECT_EQ(call_error({{"ZOUT", t}}), 0);
  EXPECT_EQ(tg.zout, t);
  deltmp(t);
}

TEST(KeywordCleanup, BadUse) {
  EXPECT_EQ(error_code_of([] { keyword_cleanup(7); }), M_INTERNAL);
  keyword_cleanup(KW_CLEANUP_ALL);
  EXPECT_EQ(error_code_of([] { keyword_cleanup(KW_CLEANUP_CLOSE); }), M_INTERNAL);
}

TEST_F(KeywordTest, VariableTruth) {
  struct Case {
    int type;
    double value;
    int truth;
  } cases[] = {{TYP_BYTE, 2, 1}, {TYP_INT, 0, 0}, {TYP_INT, -2, 1}, {TYP_LONG, 4, 1},
               {TYP_FLOAT, 0.25, 1}, {TYP_DOUBLE, 0, 0}};
  for (const Case& c : cases) {
    Variable v{};
    v.type = static_cast<uint8_t>(c.type);
    switch (c.type) {
      case TYP_BYTE: v.value.c = static_cast<uint8_t>(c.value); break;
      case TYP_INT: v.value.i = static_cast<int16_t>(c.value); break;
      case TYP_LONG: v.value.l = static_cast<int32_t>(c.value); break;
      case TYP_FLOAT: v.value.f = static_cast<float>(c.value); break;
      default: v.value.d = c.value;
    }
    EXPECT_EQ(variable_true(&v), c.truth) << c.type << " " << c.value;
  }
  Variable z{};
  z.type = TYP_COMPLEX;
  z.value.cmp = {0.0f, 1.0f};
  EXPECT_EQ(variable_true(&z), 0) << "only the real part counts";
  z.value.cmp = {-1.0f, 0.0f};
  EXPECT_EQ(variable_true(&z), 1);
  EXPECT_EQ(variable_true(named_string("")), 0);
  EXPECT_EQ(variable_true(named_string("0")), 1);
  Variable undef{};
  EXPECT_EQ(variable_true(&undef), 0);
  EXPECT_EQ(error_code_of([&] { variable_true(named_array<int16_t>(TYP_INT, {1})); }), M_NOT_SCALAR);
}

// _EXTRA ---------------------------------------------------------------------------

// A named structure {XRANGE: float[2], TITLE: string, <third tag>: long} built by hand.
class ExtraTest : public KeywordTest {
 protected:
  void build(const char* third_tag) {
    idents_[0] = IdentEntry{nullptr, "XRANGE", 6};
    idents_[1] = IdentEntry{nullptr, "TITLE", 5};
    idents_[2] = IdentEntry{nullptr, third_tag, static_cast<int32_t>(strlen(third_tag))};
    struct_name_ = IdentEntry{nullptr, "KWTEST", 6};
    shape_ = ArrayDesc{};
    shape_.elem_size = 4;
    shape_.byte_len = 8;
    shape_.n_elts = 2;
    shape_.n_dim = 1;
    shape_.dims[0] = 2;
    shape_.guard = ARRAY_GUARD;
    for (int k = 0; k < 3; k++) {
      tag_names_[k] = TagNameRec{&idents_[k], nullptr};
      tags_[k] = TagEntry{};
      tags_[k].tag = &tag_names_[k];
      tags_[k].owner = &def_;
    }
    tags_[0].offset = 0;
    tags_[0].desc.type = TYP_FLOAT;
    tags_[0].desc.flags = FLAG_ARRAY;
    tags_[0].desc.value.s.arr = &shape_;
    tags_[1].offset = 8;
    tags_[1].desc.type = TYP_STRING;
    tags_[2].offset = 24;
    tags_[2].desc.type = TYP_LONG;
    def_ = StructDef{&struct_name_, 0, 3, 32, 1, 0, tags_};

    named_.emplace_back();
    s_ = &named_.back();
    int32_t one = 1;
    make_array(1, &one, s_, def_.length);
    s_->type = TYP_STRUCT;
    s_->flags |= FLAG_STRUCT;
    s_->value.s.sdef = &def_;
    uint8_t* rec = s_->arr()->data;
    memset(rec, 0, 32);
    float range[2] = {0.0f, 1.0f};
    memcpy(rec, range, 8);
    str_store(reinterpret_cast<StringDesc*>(rec + 8), "From a structure");
    int32_t third = 6;
    memcpy(rec + 24, &third, 4);
  }
  Variable* s_ = nullptr;
  IdentEntry idents_[3], struct_name_;
  TagNameRec tag_names_[3];
  TagEntry tags_[3];
  StructDef def_;
  ArrayDesc shape_;
};

TEST_F(ExtraTest, TagsActAsKeywords) {
  build("COLOR");
  keyword_cleanup(KW_CLEANUP_OPEN);
  Variable* x = named_int(1);
  EXPECT_EQ(call({{"", x}, {"0", s_}}), 1);
  EXPECT_EQ(positional_[0], x);
  EXPECT_EQ(tg.xrange_set, 1);
  EXPECT_EQ(tg.xrange[1], 1.0);
  EXPECT_EQ(tg.color, 6);
  EXPECT_EQ(std::string(tg.title.chars, tg.title.length), "From a structure");
  EXPECT_NE(tg.title.chars, reinterpret_cast<StringDesc*>(s_->arr()->data + 8)->chars)
      << "the tag's value is a copy";
  EXPECT_EQ(temp_list_handler(3), 0) << "the tag temporaries were released";
  keyword_cleanup(KW_CLEANUP_CLOSE);
}

TEST_F(ExtraTest, OutputKeywordKeepsTheTagTemporaryUntilCleanup) {
  build("ZOUT");
  keyword_cleanup(KW_CLEANUP_OPEN);
  call({{"0", s_}});
  ASSERT_NE(tg.zout, nullptr);
  EXPECT_TRUE(tg.zout->is_temp());
  EXPECT_EQ(tg.zout->value.l, 6);
  EXPECT_EQ(temp_list_handler(3), 1);
  keyword_cleanup(KW_CLEANUP_CLOSE);
  EXPECT_EQ(temp_list_handler(3), 0);
}

TEST_F(ExtraTest, UnknownTagIsRefusedWithoutLeaks) {
  build("BOGUS");
  keyword_cleanup(KW_CLEANUP_OPEN);
  EXPECT_EQ(call_error({{"0", s_}}), M_KW_NOT_ALLOWED);
  EXPECT_NE(ur_err_string.find("BOGUS"), std::string::npos);
  keyword_cleanup(KW_CLEANUP_CLOSE);
  EXPECT_EQ(temp_list_handler(3), 0);
  // A tag whose value a keyword refuses (ZVAR needs a named variable) leaks nothing either.
  delvar(s_);
  build("ZVAR");
  keyword_cleanup(KW_CLEANUP_OPEN);
  EXPECT_EQ(call_error({{"0", s_}}), M_NOT_NAMED);
  keyword_cleanup(KW_CLEANUP_CLOSE);
  EXPECT_EQ(temp_list_handler(3), 0);
}

TEST_F(ExtraTest, ExtraMustBeAStructure) {
  EXPECT_EQ(call_error({{"0", named_int(1)}}), M_NOT_STRUCT);
}

}  // namespace
