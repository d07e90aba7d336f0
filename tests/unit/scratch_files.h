// Scratch folders for tests that write real files. ScratchFolder: a fresh folder, removed
// with its contents when the object goes (and VEK_DIR put back if it was pointed there).
// ScratchFolderTest: one per test. ScratchFilesTest adds output caught by the given
// writer and a check that every unit the test opened was closed again.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "io/files.h"
#include "term/tout.h"
#include "test_support.h"

class ScratchFolder {
 public:
  ScratchFolder() {
    char tmpl[] = "/tmp/vek_test_XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    EXPECT_FALSE(dir_.empty()) << "no scratch folder";
  }
  ~ScratchFolder() {
    if (vek_dir_set_) {
      if (old_vek_dir_)
        setenv("VEK_DIR", old_vek_dir_->c_str(), 1);
      else
        unsetenv("VEK_DIR");
    }
    if (!dir_.empty()) {
      EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& dir() const { return dir_; }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  // Library files (fonts, metrics) are then looked for here.
  void use_as_vek_dir() {
    if (!vek_dir_set_) {
      if (const char* old = getenv("VEK_DIR")) old_vek_dir_ = old;
      vek_dir_set_ = true;
    }
    setenv("VEK_DIR", dir_.c_str(), 1);
  }

 private:
  std::string dir_;
  std::optional<std::string> old_vek_dir_;
  bool vek_dir_set_ = false;
};

class ScratchFolderTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    folder_ = std::make_unique<ScratchFolder>();
    dir_ = folder_->dir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    folder_.reset();
    VekTest::TearDown();
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  std::unique_ptr<ScratchFolder> folder_;
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
