#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "io/files.h"
#include "lib/file_routines.h"
#include "session/tout.h"
#include "test_support.h"
#include "values/strings.h"
#include "values/struct.h"

namespace {

std::string written;
void capture(int, const char* text, int length) { written.append(text, length); }

// A named variable owned by the test.
struct Named {
  Variable v{};
  explicit Named(int32_t x) { store_scalar(&v, TYP_LONG, &x); }
  explicit Named(const std::string& s) {
    v.type = TYP_STRING;
    v.flags = FLAG_DYNAMIC;  // owns its characters
    str_store(&v.value.str, s.c_str());
  }
  Named() = default;
  ~Named() { delvar(&v); }
};

class FileBuiltinTest : public VekTest {
 protected:
  static void SetUpTestSuite() {
    init_files();
    // The first FSTAT defines the named structure for the session.
    Named unit(1);
    Variable* arg = &unit.v;
    deltmp(ur_fstat(1, &arg, nullptr));
  }
  void SetUp() override {
    VekTest::SetUp();
    char tmpl[] = "/tmp/vek_fb_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    written.clear();
    tout_push(capture);
  }
  void TearDown() override {
    while (tout_state.depth > 1) tout_pop();
    close_all_units(true);
    EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    VekTest::TearDown();
  }
  std::string dir_;
};

TEST_F(FileBuiltinTest, ErrorKeywordRecordsTheCodeInsteadOfReporting) {
  Named unit(5), name(dir_ + "/missing"), err;
  Variable* argv[] = {&unit.v, &name.v, &err.v};
  const char* argk[] = {"", "", "ERROR"};
  EXPECT_EQ(error_code_of([&] { ur_openr(3, argv, argk); }), 0);
  EXPECT_EQ(err.v.type, TYP_LONG);
  EXPECT_EQ(err.v.value.l, M_OPEN_FAILED);
  EXPECT_EQ(written, "") << "a failure with ERROR must print nothing";

  Named made(dir_ + "/made");
  argv[1] = &made.v;
  ur_openw(3, argv, argk);
  EXPECT_EQ(err.v.value.l, 0);
  ASSERT_NE(file_table[5], nullptr);
  EXPECT_EQ(file_table[5]->access, ACC_READ | ACC_WRITE | ACC_NEW);
}

TEST_F(FileBuiltinTest, GetLunKeywordNeedsANamedVariable) {
  Named unit(0), name(dir_ + "/f"), flag(1), width(132);
  Variable* argv[] = {&unit.v, &name.v, &flag.v, &width.v};
  const char* argk[] = {"", "", "GET", "WIDTH"};  // abbreviated
  ur_openw(4, argv, argk);
  EXPECT_EQ(unit.v.value.l, LUN_FIRST);
  ASSERT_NE(file_table[LUN_FIRST], nullptr);
  EXPECT_EQ(file_table[LUN_FIRST]->width, 132);

  Variable* constant = make_long_temp(9);
  argv[0] = constant;
  EXPECT_EQ(error_code_of([&] { ur_openw(4, argv, argk); }), M_NOT_NAMED);
  deltmp(constant);
}

TEST_F(FileBuiltinTest, XdrWithOpenwWritesOnly) {
  Named unit(8), name(dir_ + "/x"), on(1);
  Variable* argv[] = {&unit.v, &name.v, &on.v};
  const char* argk[] = {"", "", "XDR"};
  ur_openw(3, argv, argk);
  ASSERT_NE(file_table[8], nullptr);
  EXPECT_EQ(file_table[8]->access, ACC_WRITE | ACC_NEW);
  EXPECT_TRUE(file_table[8]->attributes & FA_XDR);
  EXPECT_NE(file_table[8]->xdrs, nullptr);
}

TEST_F(FileBuiltinTest, FstatIsTheNamedStructureWithItsTagsInOrder) {
  {
    FILE* f = fopen((dir_ + "/s").c_str(), "w");
    fputs("hello, world", f);
    fclose(f);
  }
  Named unit(9), name(dir_ + "/s");
  Variable* argv[] = {&unit.v, &name.v};
  ur_openr(2, argv, nullptr);
  set_file_ptr(9, 5);
  Variable* arg = &unit.v;
  Variable* r = ur_fstat(1, &arg, nullptr);
  ASSERT_TRUE(r->is_struct());
  StructDef* sd = r->sdef();
  ASSERT_NE(sd->name, nullptr);
  EXPECT_STREQ(sd->name->name, "FSTAT");
  const char* tags[] = {"UNIT", "NAME", "OPEN", "ISATTY", "READ", "WRITE", "TRANSFER_COUNT", "CUR_PTR", "SIZE", "REC_LEN"};
  const int types[] = {TYP_LONG, TYP_STRING, TYP_BYTE, TYP_BYTE, TYP_BYTE, TYP_BYTE, TYP_LONG, TYP_LONG, TYP_LONG, TYP_LONG};
  ASSERT_EQ(sd->n_tags, 10);
  for (int i = 0; i < 10; i++) {
    EXPECT_STREQ(sd->tags[i].tag->ident->name, tags[i]);
    EXPECT_EQ(sd->tags[i].desc.type, types[i]) << tags[i];
  }
  const uint8_t* rec = r->arr()->data;
  auto long_at = [&](int i) { return *reinterpret_cast<const int32_t*>(rec + sd->tags[i].offset); };
  auto byte_at = [&](int i) { return rec[sd->tags[i].offset]; };
  EXPECT_EQ(long_at(0), 9);
  EXPECT_EQ(std::string(str_chars(*reinterpret_cast<const StringDesc*>(rec + sd->tags[1].offset))), dir_ + "/s");
  EXPECT_EQ(byte_at(2), 1);
  EXPECT_EQ(byte_at(4), 1);
  EXPECT_EQ(byte_at(5), 0);
  EXPECT_EQ(long_at(7), 5);
  EXPECT_EQ(long_at(8), static_cast<int32_t>(strlen("hello, world")));
  deltmp(r);
}

}  // namespace
