#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <sys/utsname.h>

#include "graphics/graph_state.h"
#include "graphics/graph_sysvars.h"
#include "lib/sysvars.h"
#include "test_support.h"
#include "value_builders.h"
#include "values/struct.h"

namespace {

// System variables live for the session: whatever a test defines, or a string it stores
// into one, stays allocated. The fixture builds the table before the baseline is taken,
// and `permanent` moves the memory a step deliberately keeps out of the leak check.
class SysvarTest : public VekTest {
 protected:
  void SetUp() override {
    init_sysvars();
    register_graphics_sysvars();
    VekTest::SetUp();
  }
  template <typename F>
  void permanent(F&& f) {
    uint32_t before = mem_counters.bytes_in_use;
    f();
    baseline_ += mem_counters.bytes_in_use - before;
  }
  SysVar* sv(const char* name) {
    SysVar* r = find_sysvar(name);
    EXPECT_NE(r, nullptr) << name;
    return r;
  }
  // The value of a system variable read back through get_sysv, released afterwards.
  template <typename T>
  T read(const char* name) {
    Variable* t = get_sysv(sv(name));
    T v;
    memcpy(&v, &t->value, sizeof v);
    deltmp(t);
    return v;
  }
  std::string read_string(const char* name) {
    Variable* t = get_sysv(sv(name));
    std::string s = text_of(t);
    deltmp(t);
    return s;
  }
};

Variable scalar_long(int32_t v) {
  Variable x{};
  x.type = TYP_LONG;
  x.value.l = v;
  return x;
}

Variable scalar_float(float v) {
  Variable x{};
  x.type = TYP_FLOAT;
  x.value.f = v;
  return x;
}

TEST_F(SysvarTest, TableIsSortedAndFindsEveryEntryByIdentifier) {
  ASSERT_NE(sysvartab, nullptr);
  ASSERT_GE(sysvartab->count, 20u);
  for (uint32_t i = 0; i < sysvartab->count; i++) {
    auto* rec = static_cast<SysVar*>(sysvartab->entries[i]);
    if (i > 0) {
      EXPECT_LT(strcmp(static_cast<SysVar*>(sysvartab->entries[i - 1])->name->name, rec->name->name), 0);
    }
    EXPECT_EQ(is_sysvar(rec->name), rec);
    EXPECT_EQ(find_sysvar(rec->name->name), rec);
  }
  EXPECT_EQ(find_sysvar("!NO_SUCH_THING"), nullptr);
  EXPECT_EQ(find_sysvar("PI"), nullptr);
}

TEST_F(SysvarTest, StartUpTypesAndAccess) {
  struct Expect {
    const char* name;
    int type;
    bool read_only;
  } expect[] = {{"!C", TYP_LONG, false},          {"!DPI", TYP_DOUBLE, true},     {"!DTOR", TYP_FLOAT, true},
                {"!EDIT_INPUT", TYP_INT, false},  {"!ERR_STRING", TYP_STRING, true}, {"!JOURNAL", TYP_LONG, true},
                {"!MORE", TYP_INT, false},        {"!PATH", TYP_STRING, false},   {"!PI", TYP_FLOAT, true},
                {"!PROMPT", TYP_STRING, false},   {"!QUIET", TYP_LONG, false},    {"!RADEG", TYP_FLOAT, true}};
  for (const Expect& e : expect) {
    SysVar* r = sv(e.name);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->var.type, e.type) << e.name;
    EXPECT_EQ(r->var.is_const(), e.read_only) << e.name;
  }
  EXPECT_EQ(read<float>("!PI"), static_cast<float>(M_PI));
  EXPECT_EQ(read<double>("!DPI"), M_PI);
  EXPECT_EQ(read<float>("!RADEG"), static_cast<float>(180.0 / M_PI));
  EXPECT_EQ(read_string("!PROMPT"), "Vek> ");
  EXPECT_EQ(read_string("!MSG_PREFIX"), "% ");
  SysVar* syserror = sv("!SYSERROR");
  ASSERT_TRUE(syserror->var.is_array());
  EXPECT_EQ(syserror->var.arr()->n_elts, 2u);
  EXPECT_EQ(prompt_sysvar, sv("!PROMPT"));
}

TEST_F(SysvarTest, BoundVariablesFollowTheirOwners) {
  err_code = -17;
  EXPECT_EQ(read<int32_t>("!ERR"), -17);
  Variable v = scalar_long(5);
  store_sysv(sv("!ERR"), &v);
  EXPECT_EQ(err_code, 5);
  err_code = 0;

  vek_cursor = 9;
  EXPECT_EQ(read<int32_t>("!C"), 9);

  permanent([&] {
    ur_err_string = "Something went wrong.";
    EXPECT_EQ(read_string("!ERR_STRING"), "Something went wrong.");
    Variable p{};
    set_string(&p, "## ");
    store_sysv(sv("!MSG_PREFIX"), &p);
    delvar(&p);
  });
  EXPECT_EQ(msg_prefix, "## ");
  // A message now carries the new prefix; its text becomes !ERR_STRING.
  message(M_GENERIC, 0, MSG_CONTINUE | MSG_NOPRINT, "hello");
  EXPECT_EQ(read_string("!ERR_STRING"), "hello");
  msg_prefix = "% ";
  EXPECT_EQ(read_string("!MSG_PREFIX"), "% ");
  EXPECT_EQ(error_code_of([&] {
              Variable s{};
              set_string(&s, "x");
              try {
                store_sysv(sv("!ERR_STRING"), &s);
              } catch (...) {
                delvar(&s);
                throw;
              }
            }),
            M_READ_ONLY);
  err_code = error_code = 0;
}

TEST_F(SysvarTest, DefinitionCopiesATemporaryAndArraysKeepTheirShape) {
  Variable* value = temp_array<int16_t>(TYP_INT, {4, 5, 6});
  SysVar* rec = nullptr;
  permanent([&] { rec = enter_sysv("!ARRAYS_T4", value, 0); });
  // The caller's temporary still holds its data.
  EXPECT_EQ(elements<int16_t>(value)[2], 6);
  EXPECT_NE(rec->data, value->data_ptr());
  deltmp(value);

  Variable* floats = temp_array<float>(TYP_FLOAT, {1.5f, 2.5f, -7.5f});
  store_sysv(rec, floats);
  deltmp(floats);
  Variable* back = get_sysv(rec);
  EXPECT_EQ(back->type, TYP_INT);
  EXPECT_EQ(elements<int16_t>(back)[0], 1);
  EXPECT_EQ(elements<int16_t>(back)[2], -7);
  deltmp(back);
  Variable* two = temp_array<int16_t>(TYP_INT, {1, 2});
  EXPECT_EQ(error_code_of([&] { enter_sysv("!ARRAYS_T4", two, 0); }), M_STRUCT_CONFLICT);
  deltmp(two);
}

TEST_F(SysvarTest, StructureValuedDefinitionsKeepTheirDefinition) {
  IdentEntry* tags[2] = {ident_hash("A", 0, 0, MSG_LONGJMP), ident_hash("S", 0, 0, MSG_LONGJMP)};
  auto make = [&](const char* text, int32_t a) {
    Variable* vals[2] = {make_long_temp(a), ret_str_as_STRING(text)};
    return make_struc(&vals[1], 2, nullptr, tags, true, false);
  };
  deltmp(make("warm up", 0));  // the identifiers and tag names stay
  baseline_ = mem_counters.bytes_in_use;
  // The definition lives on in the variable.
  Variable* first = nullptr;
  StructDef* sd = nullptr;
  SysVar* rec = nullptr;
  permanent([&] {
    first = make("one", 1);
    sd = first->sdef();
    rec = enter_sysv("!ARRAYS_T6", first, 0);
    deltmp(first);
  });
  EXPECT_EQ(rec->var.sdef(), sd);
  // A value of the same definition is stored, strings duplicated.
  Variable* same = get_sysv(rec);
  *reinterpret_cast<int32_t*>(same->arr()->data + sd->tags[0].offset) = 9;
  permanent([&] { store_sysv(rec, same); });
  deltmp(same);
  Variable* back = get_sysv(rec);
  EXPECT_EQ(*reinterpret_cast<int32_t*>(back->arr()->data + sd->tags[0].offset), 9);
  EXPECT_EQ(text_of(*reinterpret_cast<StringDesc*>(back->arr()->data + sd->tags[1].offset)), "one");
  deltmp(back);
  // Another anonymous structure, even with the same tags, is another definition.
  Variable* other = make("two", 2);
  EXPECT_EQ(error_code_of([&] { enter_sysv("!ARRAYS_T6", other, 0); }), M_STRUCT_CONFLICT);
  deltmp(other);
}

TEST_F(SysvarTest, StringVariablesOwnTheirText) {
  // Defining from a string that does not own its characters (a constant of compiled
  // code) takes a copy, so the variable survives the statement.
  char text[] = "hello";
  Variable c{};
  c.type = TYP_STRING;
  c.flags = FLAG_CONSTANT;
  c.value.str = StringDesc{5, 0, text};
  SysVar* rec = nullptr;
  permanent([&] { rec = enter_sysv("!ARRAYS_T5", &c, 0); });
  text[0] = 'j';
  EXPECT_EQ(read_string("!ARRAYS_T5"), "hello");
  // Storing a string into itself (through a copy) keeps it intact.
  Variable* copy = get_sysv(rec);
  store_sysv(rec, copy);
  deltmp(copy);
  EXPECT_EQ(read_string("!ARRAYS_T5"), "hello");
  EXPECT_STREQ(sysv_string(rec), "hello");
}

TEST_F(SysvarTest, VariablesOfSystemVariablesAreNamedInMessages) {
  EXPECT_STREQ(varname(&sv("!ORDER")->var), "!ORDER");
  Variable other{};
  EXPECT_STREQ(varname(&other), "<No  name>");
}

TEST_F(SysvarTest, HelpListsEveryVariableAligned) {
  static std::vector<std::string> lines;
  lines.clear();
  helpsy([](const char* line) { lines.push_back(line); });
  ASSERT_EQ(lines.size(), sysvartab->count);
  size_t column = lines[0].find(" = ");
  ASSERT_NE(column, std::string::npos);
  bool saw_prompt = false;
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find(" = "), column) << l;
    if (l.rfind("!PROMPT", 0) == 0) {
      saw_prompt = true;
      EXPECT_EQ(l.substr(column), " = Vek> ");
    }
  }
  EXPECT_TRUE(saw_prompt);
}

// ---- Structure-valued and compatibility variables -----------------------------------------

// The address of tag `tag` in the first record of structure value s.
template <typename T>
T* field(Variable* s, const char* tag) {
  int i = find_tag(s->sdef(), ident_hash(tag, 0, IDENT_LOOKUP, MSG_LONGJMP));
  EXPECT_GE(i, 0) << tag;
  return reinterpret_cast<T*>(s->arr()->data + s->sdef()->tags[i].offset);
}

TEST_F(SysvarTest, GraphicsStructuresAreNamedAndViewTheirRecords) {
  struct Expect {
    const char* var;
    const char* structure;
    int n_tags;
  } expect[] = {{"!P", "!PLT", 22}, {"!X", "!AXIS", 19}, {"!Y", "!AXIS", 19},   {"!Z", "!AXIS", 19},
                {"!D", "!DEVICE", 17}, {"!MAP", "!MAP", 9}, {"!MOUSE", "!MOUSE", 4}, {"!VERSION", "!VERSION", 3}};
  for (const Expect& e : expect) {
    SysVar* r = sv(e.var);
    ASSERT_TRUE(r->var.is_struct()) << e.var;
    EXPECT_STREQ(r->var.sdef()->name->name, e.structure);
    EXPECT_EQ(r->var.sdef()->n_tags, e.n_tags) << e.var;
  }
  EXPECT_TRUE(sv("!D")->var.is_const());
  EXPECT_FALSE(sv("!P")->var.is_const());

  plot_com.color = 77;
  Variable* p = get_sysv(sv("!P"));
  EXPECT_EQ(*field<int32_t>(p, "COLOR"), 77);
  EXPECT_EQ(*field<int32_t>(p, "FONT"), -1);
  EXPECT_EQ(*field<float>(p, "TICKLEN"), 0.02f);
  EXPECT_EQ(field<float>(p, "T")[5], plot_com.t[1][1]);
  deltmp(p);
  plot_com.color = 0;
}

TEST_F(SysvarTest, AxisVariablesShareOneDescriptorButNotTheirData) {
  EXPECT_EQ(sv("!X")->var.arr(), sv("!Y")->var.arr());
  Variable* y = get_sysv(sv("!Y"));
  Variable* x = get_sysv(sv("!X"));
  EXPECT_EQ(field<float>(x, "MARGIN")[0], 10.0f);
  EXPECT_EQ(field<float>(y, "MARGIN")[0], 4.0f);
  deltmp(x);

  // Storing !Y's value into !Z copies into zaxis, strings duplicated.
  str_store(field<StringDesc>(y, "TITLE"), "height");
  StringDesc* yt = field<StringDesc>(y, "TITLE");
  permanent([&] { store_sysv(sv("!Z"), y); });
  EXPECT_EQ(text_of(zaxis.title), "height");
  EXPECT_NE(zaxis.title.chars, yt->chars);
  EXPECT_EQ(zaxis.margin[0], 4.0f);
  EXPECT_EQ(xaxis.margin[0], 10.0f);
  deltmp(y);

  // Other shapes and structures are refused.
  Variable* p = get_sysv(sv("!P"));
  EXPECT_EQ(error_code_of([&] { store_sysv(sv("!X"), p); }), M_STRUCT_CONFLICT);
  deltmp(p);
  Variable one = scalar_long(1);
  EXPECT_EQ(error_code_of([&] { store_sysv(sv("!X"), &one); }), M_STRUCT_CONFLICT);
}

TEST_F(SysvarTest, DeviceVariableIsReadOnlyAndFollowsTheSelectedRecord) {
  Variable* d = get_sysv(sv("!D"));
  EXPECT_EQ(error_code_of([&] { store_sysv(sv("!D"), d); }), M_READ_ONLY);
  deltmp(d);
  DeviceFields other{};
  other.n_colors = 256;
  other.x_vsize = 640;
  other.window = 3;
  sysv_set_data(sv("!D"), &other);
  d = get_sysv(sv("!D"));
  EXPECT_EQ(*field<int32_t>(d, "N_COLORS"), 256);
  deltmp(d);
  // The computed compatibility names read the current device.
  EXPECT_EQ(read<int32_t>("!NCOLOR"), 256);
  EXPECT_EQ(read<int32_t>("!WINDOW"), 3);
  xaxis.window[1] = 0.5f;
  EXPECT_EQ(read<float>("!SC2"), 320.0f);
  xaxis.window[1] = 0.0f;
  sysv_set_data(sv("!D"), &no_device);
  EXPECT_EQ(read<int32_t>("!NCOLOR"), 0);
}

TEST_F(SysvarTest, CompatibilityNamesAliasFieldsOfTheGraphicsState) {
  IdentEntry* color = ident_hash("!COLOR", 0, IDENT_LOOKUP, MSG_LONGJMP);
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(is_sysvar(color), nullptr);
  ASSERT_NE(is_vmsv1_sysvar(color), nullptr);

  Variable five = scalar_float(5.9f);
  store_sysv(sv("!COLOR"), &five);
  EXPECT_EQ(plot_com.color, 5);
  plot_com.color = 12;
  EXPECT_EQ(read<int32_t>("!COLOR"), 12);
  plot_com.color = 0;

  xaxis.s[0] = 0.25f;
  xaxis.s[1] = 2.0f;
  Variable* xs = get_sysv(sv("!XS"));
  ASSERT_TRUE(xs->is_array());
  EXPECT_EQ(xs->type, TYP_FLOAT);
  EXPECT_EQ(elements<float>(xs)[1], 2.0f);
  deltmp(xs);
  xaxis.s[0] = xaxis.s[1] = 0.0f;

  yaxis.range[1] = 7.5f;
  EXPECT_EQ(read<float>("!YMAX"), 7.5f);
  yaxis.range[1] = 0.0f;

  // Values computed on reading cannot be stored.
  Variable one = scalar_long(1);
  EXPECT_EQ(error_code_of([&] { store_sysv(sv("!GRID"), &one); }), M_READ_ONLY);
  plot_com.ticklen = 0.5f;
  EXPECT_EQ(read<int32_t>("!GRID"), 1);
  plot_com.ticklen = 0.02f;
  EXPECT_EQ(read<int32_t>("!GRID"), 0);
  EXPECT_FALSE(read_string("!STIME").empty());
}

TEST_F(SysvarTest, VersionDescribesTheHost) {
  utsname host;
  ASSERT_EQ(uname(&host), 0);
  std::string os = host.sysname;
  for (char& c : os) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  Variable* v = get_sysv(sv("!VERSION"));
  EXPECT_EQ(text_of(*field<StringDesc>(v, "ARCH")), host.machine);
  EXPECT_EQ(text_of(*field<StringDesc>(v, "OS")), os);
  EXPECT_FALSE(text_of(*field<StringDesc>(v, "RELEASE")).empty());
  deltmp(v);
}

}  // namespace
