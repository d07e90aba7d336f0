// Fixtures for tests that write real files. ScratchFolderTest: a fresh folder per test,
// removed afterwards. ScratchFilesTest adds output caught by the given writer and a check
// that every unit the test opened was closed again.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/files.h"
#include "term/tout.h"
#include "test_support.h"

class ScratchFolderTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    char tmpl[] = "/tmp/vek_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    VekTest::TearDown();
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

class ScratchFilesTest : public ScratchFolderTest {
 protected:
  explicit ScratchFilesTest(OutputFn writer) : writer_(writer) {}
  static void SetUpTestSuite() { init_files(); }
  void SetUp() override {
    ScratchFolderTest::SetUp();
    tout_push(writer_);
  }
  void TearDown() override {
    while (tout_state.depth > 1) tout_pop();
    for (int u = 1; u <= UNIT_MAX; u++) {
      EXPECT_EQ(file_table[u], nullptr) << "unit " << u << " left open";
      if (file_table[u]) close_unit(u, true, MSG_CONTINUE);
    }
    for (uint8_t& flag : lun_handed_out) flag = 0;
    ScratchFolderTest::TearDown();
  }
  int open(int unit, const char* name, int access, uint32_t attrs = 0, int width = 0) {
    std::string p = path(name);
    OpenRequest req;
    req.unit = unit;
    req.name = p.c_str();
    req.access = access;
    req.attributes = attrs;
    req.width = width;
    return open_file(req, MSG_IOERROR);
  }
  void write_file(const char* name, const std::string& text) const {
    FILE* f = fopen(path(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }

 private:
  OutputFn writer_;
};
