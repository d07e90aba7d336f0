#include <cstdlib>
#include <cstring>
#include <pty.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "io/files.h"
#include "scratch_files.h"
#include "term/tout.h"
#include "test_support.h"

namespace {

std::vector<std::string> listed;
void capture_lines(int, const char* text, int length) { listed.emplace_back(text, length); }
void swallow(int, const char*, int) {}

class FilesTest : public ScratchFilesTest {
 protected:
  FilesTest() : ScratchFilesTest(swallow) {}  // keep expected error messages off the test log
};

TEST_F(FilesTest, XdrUnitsGoOneWayOnly) {
  EXPECT_EQ(error_code_of([&] { open(2, "x", ACC_READ | ACC_WRITE, FA_XDR); }), M_XDR_BOTH);
  EXPECT_EQ(error_code_of([&] { open(2, "x", ACC_READ, FA_XDR | FA_MORE); }), M_CONFLICTING_KW);
  EXPECT_EQ(error_code_of([&] { open(2, "x", ACC_READ, FA_F77 | FA_MORE); }), M_CONFLICTING_KW);

  ASSERT_EQ(open(2, "x", ACC_READ | ACC_WRITE | ACC_NEW, FA_XDR), 2);
  EXPECT_EQ(file_table[2]->access, ACC_WRITE | ACC_NEW);
  int values[3] = {7, -40000, 123456789};
  for (int& v : values) ASSERT_TRUE(xdr_int(file_table[2]->xdrs, &v));
  EXPECT_EQ(vek_file_pos(2), static_cast<long>(sizeof values));
  close_unit(2, false, MSG_IOERROR);

  ASSERT_EQ(open(2, "x", ACC_READ, FA_XDR), 2);
  EXPECT_EQ(vek_file_size(2), static_cast<long>(sizeof values));
  set_file_ptr(2, 4);
  int v = 0;
  ASSERT_TRUE(xdr_int(file_table[2]->xdrs, &v));
  EXPECT_EQ(v, values[1]);
  EXPECT_EQ(error_code_of([] { ensure_file_status(MSG_IOERROR, 2, FC_STANDARD); }), M_ON_XDR);
  close_unit(2, false, MSG_IOERROR);
}

TEST_F(FilesTest, PositioningAndEndOfFile) {
  std::string contents = "0123456789abcdef";
  write_file("p", contents);
  ASSERT_EQ(open(4, "p", ACC_READ), 4);
  EXPECT_EQ(vek_file_size(4), static_cast<long>(contents.size()));
  EXPECT_EQ(unit_eof(4), 0);
  // The peek behind EOF must not lose the byte.
  EXPECT_EQ(getc(file_table[4]->stream), contents[0]);
  set_file_ptr(4, 10);
  EXPECT_EQ(vek_file_pos(4), 10);
  EXPECT_EQ(getc(file_table[4]->stream), contents[10]);
  set_file_ptr(4, static_cast<long>(contents.size()));
  EXPECT_EQ(unit_eof(4), 1);
  set_file_ptr(4, 3);  // clears the end flag
  EXPECT_EQ(unit_eof(4), 0);
  EXPECT_EQ(error_code_of([] { set_file_ptr(4, -1); }), M_NEG_POSITION);
  EXPECT_EQ(error_code_of([] { unit_eof(9); }), M_UNIT_NOT_OPEN);
  // A read-only unit remembers the size it first saw.
  FILE* grow = fopen(path("p").c_str(), "a");
  fputs("more", grow);
  fclose(grow);
  EXPECT_EQ(vek_file_size(4), static_cast<long>(contents.size()));
  close_unit(4, false, MSG_IOERROR);

  ASSERT_EQ(open(4, "w", ACC_READ | ACC_WRITE | ACC_NEW), 4);
  EXPECT_EQ(unit_eof(4), 1);
  fputs("hello", file_table[4]->stream);
  EXPECT_EQ(vek_file_size(4), 5) << "size of a unit being written must follow the writes";
  set_file_ptr(4, 2);
  EXPECT_EQ(unit_eof(4), 0);
  close_unit(4, false, MSG_IOERROR);
}

TEST_F(FilesTest, ValidityChecksReportInOrderWithTheirTexts) {
  write_file("r", "x");
  ASSERT_EQ(open(6, "r", ACC_READ), 6);
  std::string name = path("r");
  auto check = [](int unit, int checks) { return error_code_of([&] { ensure_file_status(MSG_IOERROR, unit, checks); }); };
  EXPECT_EQ(check(6, FC_OPEN | FC_READ | FC_STANDARD), 0);
  EXPECT_EQ(check(6, FC_WRITE), M_NOT_OUTPUT);
  EXPECT_EQ(ur_err_string, "File is not open for output. Unit: 6\nFile: " + name);
  EXPECT_EQ(check(6, FC_CLOSED), M_UNIT_OPEN);
  EXPECT_EQ(check(11, FC_OPEN), M_UNIT_NOT_OPEN);
  EXPECT_EQ(ur_err_string, "File unit is not open: 11.");
  EXPECT_EQ(check(11, FC_READ | FC_WRITE), 0) << "access checks apply to open units only";
  EXPECT_EQ(check(-1, FC_POSITIVE | FC_OPEN), M_UNIT_NOT_ALLOWED);
  EXPECT_EQ(ur_err_string, "File unit does not allow this operation. Unit: -1\nFile: <stdout>");
  EXPECT_EQ(check(-1, FC_READ), M_NOT_INPUT);
  EXPECT_EQ(check(130, FC_RANGE), M_UNIT_RANGE);
  EXPECT_EQ(ur_err_string, "File unit is not within allowed range: 130.");
  // The range comes first, then "above 0", then "open".
  EXPECT_EQ(check(-7, FC_POSITIVE), M_UNIT_RANGE);
  EXPECT_EQ(check(0, FC_POSITIVE | FC_OPEN), M_UNIT_NOT_ALLOWED);
  file_table[6]->attributes |= FA_NOSTDIO;
  EXPECT_EQ(check(6, FC_STDIO | FC_CLOSED), M_NON_STDIO);
  file_table[6]->attributes |= FA_PIPE;
  EXPECT_EQ(check(6, FC_STANDARD), M_ON_PIPE);
  file_table[6]->attributes &= ~(FA_PIPE | FA_NOSTDIO);
  close_unit(6, false, MSG_IOERROR);
}

TEST_F(FilesTest, TerminalUnitsHaveNoEndOfFile) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  OpenRequest req;
  req.unit = 20;
  req.name = ttyname(slave);
  req.access = ACC_READ | ACC_WRITE;
  ASSERT_EQ(open_file(req, MSG_IOERROR), 20);
  EXPECT_TRUE(file_table[20]->attributes & FA_TTY);
  EXPECT_EQ(unit_eof(20), 0);
  EXPECT_EQ(error_code_of([] { ensure_file_status(MSG_IOERROR, 20, FC_STANDARD); }), M_ON_TERMINAL);
  close_unit(20, false, MSG_IOERROR);
  close(slave);
  close(master);
}

TEST_F(FilesTest, DeleteOnCloseAndExitCleanUp) {
  ASSERT_EQ(open(30, "tmp1", ACC_READ | ACC_WRITE | ACC_NEW, FA_DELETE), 30);
  ASSERT_EQ(open(31, "keep", ACC_READ | ACC_WRITE | ACC_NEW), 31);
  struct stat st;
  ASSERT_EQ(stat(path("tmp1").c_str(), &st), 0);
  files_exit_handler();
  EXPECT_EQ(file_table[30], nullptr);
  EXPECT_NE(stat(path("tmp1").c_str(), &st), 0) << "delete-on-close file survived";
  EXPECT_NE(file_table[31], nullptr) << "plain units are left to the process exit";
  close_unit(31, false, MSG_IOERROR);
  EXPECT_EQ(stat(path("keep").c_str(), &st), 0);
}

TEST_F(FilesTest, ClosingAPipeUnitEndsItsChild) {
  int to_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  fflush(stdout);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_child[1]);
    pause();
    _exit(0);
  }
  close(to_child[0]);
  auto* f = static_cast<FileRec*>(calloc(1, sizeof(FileRec)));
  f->name = strdup("child");
  f->access = ACC_WRITE;
  f->attributes = FA_PIPE;
  f->stream = fdopen(to_child[1], "w");
  f->child_pid = pid;
  f->width = DEFAULT_WIDTH;
  file_table[40] = f;
  close_unit(40, false, MSG_IOERROR);
  EXPECT_EQ(file_table[40], nullptr);
  pid_t r = waitpid(pid, nullptr, WNOHANG);
  int e = errno;
  if (r == 0) {  // still there: do not leave it behind
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(r, -1) << "child not reaped";
  EXPECT_EQ(e, ECHILD);
}

TEST_F(FilesTest, FlushChecksTheRangeAndSkipsReadOnlyUnits) {
  EXPECT_EQ(error_code_of([] { flush_file_unit(-3); }), M_UNIT_RANGE);
  EXPECT_EQ(error_code_of([] { flush_file_unit(50); }), 0);  // closed: nothing to do
  ASSERT_EQ(open(50, "f", ACC_READ | ACC_WRITE | ACC_NEW), 50);
  fputs("abc", file_table[50]->stream);
  flush_file_unit(50);
  struct stat st;
  ASSERT_EQ(stat(path("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3);
  close_unit(50, false, MSG_IOERROR);
}

TEST_F(FilesTest, UnbufferedAndSpecialTransfersMoveWholeElements) {
  ASSERT_EQ(open(60, "n", ACC_READ | ACC_WRITE | ACC_NEW, FA_NOSTDIO), 60);
  const int32_t out[4] = {1, 2, 3, 4};
  EXPECT_EQ(io_unix_nostdio_fwrite(out, sizeof(int32_t), 4, 60), 4u);
  lseek(fileno(file_table[60]->stream), 0, SEEK_SET);
  int32_t in[4] = {};
  EXPECT_EQ(io_unix_nostdio_fread(in, sizeof(int32_t), 4, 60), 4u);
  EXPECT_EQ(memcmp(in, out, sizeof out), 0);
  // A short file yields whole elements only.
  lseek(fileno(file_table[60]->stream), 6, SEEK_SET);
  EXPECT_EQ(io_unix_nostdio_fread(in, sizeof(int32_t), 4, 60), 2u);
  close_unit(60, false, MSG_IOERROR);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* w = fdopen(fds[1], "w");
  FILE* r = fdopen(fds[0], "r");
  EXPECT_EQ(io_unix_special_fwrite(out, sizeof(int32_t), 3, w), 3u);
  fclose(w);
  EXPECT_EQ(io_unix_special_fread(in, sizeof(int32_t), 4, r), 3u);
  EXPECT_EQ(memcmp(in, out, 3 * sizeof(int32_t)), 0);
  fclose(r);
}

TEST_F(FilesTest, HelpListsUnitsWithAttributesAndNames) {
  ASSERT_EQ(open(70, "h", ACC_READ | ACC_WRITE | ACC_NEW, FA_DELETE), 70);
  listed.clear();
  tout_push(capture_lines);
  int units[] = {70, 71};
  helpfiles(2, units);
  tout_pop();
  ASSERT_GE(listed.size(), 2u);
  std::string first = "70     Read, Write, New, Delete On Close";
  std::string name = path("h");
  if (static_cast<int>(name.size()) < term.columns - 45) {
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], first + std::string(45 - first.size(), ' ') + name);
  } else {
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], first);
    EXPECT_EQ(listed[1], "          " + name);
  }
  EXPECT_EQ(listed.back(), "71     <Closed>");
  close_unit(70, false, MSG_IOERROR);
}

}  // namespace
