// The pipe server: commands from the parent on one descriptor, replies on the other,
// variable data through System V shared memory in both directions.
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "compiler/routine_table.h"
#include "interp/interpreter.h"
#include "interp/routines.h"
#include "session/pipe_protocol.h"
#include "session/server.h"
#include "session/server_vars.h"
#include "session/startup.h"
#include "values/convert.h"
#include "values/strings.h"

namespace {

int read_fd = -1;
int write_fd = -1;
bool session_started = false;

[[noreturn]] void fatal(const char* text) {
  message(M_SYSTEM_ERROR, 0, MSG_CONTINUE, text);
  sleep(5);
  exit(1);
}

ssize_t read_some(void* buf, size_t n) {
  ssize_t r;
  do r = read(read_fd, buf, n);
  while (r < 0 && errno == EINTR);
  return r;
}

// Reads exactly n bytes; false at the end of the pipe or a short record.
bool read_full(void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n) {
    ssize_t r = read_some(p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

[[noreturn]] void end_of_pipe() { exit(1); }

// A NUL-terminated string; at most kPipeStringMax characters are kept. The pipe ending
// inside it ends the server as the pipe ending anywhere does.
std::string read_string() {
  std::string s;
  for (;;) {
    char c;
    ssize_t r = read_some(&c, 1);
    if (r < 0) fatal(". Unrecoverable I/O error on read pipe.\n");
    if (r == 0) end_of_pipe();
    if (c == 0) return s;
    if (s.size() < kPipeStringMax) s += c;
  }
}

void write_words(const int32_t* words, size_t n) {
  const auto* p = reinterpret_cast<const char*>(words);
  size_t left = n * 4;
  while (left) {
    ssize_t w = write(write_fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) end_of_pipe();  // the parent is gone
    p += w;
    left -= static_cast<size_t>(w);
  }
}

void send_reply(int32_t status) {
  int32_t words[2] = {kPipeReply, status};
  write_words(words, 2);
}

void flush_input() {
  int pending = 0;
  while (ioctl(read_fd, FIONREAD, &pending) == 0 && pending > 0) {
    char junk[512];
    ssize_t r = read_some(junk, std::min<size_t>(sizeof junk, static_cast<size_t>(pending)));
    if (r <= 0) break;
  }
}

void start_session() {
  if (session_started) return;
  session_started = true;
  ur_main(RUN_COMMAND_LIST, 0, nullptr);
}

int run_line(const std::string& line) {
  session_started = true;
  std::vector<char> copy(line.begin(), line.end());
  copy.push_back(0);
  char* list[1] = {copy.data()};
  return ur_main(RUN_COMMAND_LIST, 1, list);
}

// Command 3: the name, the description, then the data from the parent's segment.
void set_variable() {
  std::string name = read_string();
  PipeVarDesc desc;
  if (!read_full(&desc, sizeof desc)) {
    send_reply(0);
    return;
  }
  start_session();
  int32_t status = 0;
  try {
    WireValue value = wire_from_pipe(name, desc);
    set_main_variable(value);
    status = 1;
  } catch (const VekJump&) {
    // Reported already.
  }
  send_reply(status);
}

void interactive() {
  start_session();
  message(M_GENERIC, 0, MSG_INFO, "Entering Interactive Mode");
  ur_main(RUN_NESTED, 0, nullptr);
  message(M_GENERIC, 0, MSG_INFO, "Returning to Server Mode");
  send_reply(1);
}

// ---- Output routines: data for the parent's visualisation module -------------------------

void send_output(int kind, int index, int rank, Variable* value) {
  WireValue w = wire_from_variable("", value);
  if (w.type == W_UNDEF || w.type == W_STRUCT)
    message(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, "Expression must be a number or a string.");
  PipeVarDesc desc;
  std::vector<uint8_t> data = pipe_from_wire(w, &desc);
  int32_t key = 0;
  int id = shm_put(kind, data, &key);
  if (id < 0) message(M_SYSTEM_ERROR, errno, MSG_LONGJMP, "creating shared memory segment");
  desc.shm_id = id;
  int32_t head[5] = {kPipeOutput, kind, index, rank, key};
  write_words(head, 5);
  write_words(reinterpret_cast<const int32_t*>(&desc), sizeof desc / 4);
}

int32_t in_range(Variable* v, int lo, int hi, const char* text) {
  int32_t n = long_scalar(v);
  if (n < lo || n > hi) message(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, text);
  return n;
}

void ur_avssetport(int, Variable* argv[], KwNames) {
  send_output(PIPE_OUT_AVS_PORT, in_range(argv[0], 1, 4, "Port must be 1 to 4."), 0, argv[1]);
}

void ur_avssettitle(int, Variable* argv[], KwNames) {
  if (argv[0]->type != TYP_STRING || !argv[0]->is_scalar())
    message(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, "Title must be a scalar string.");
  send_output(PIPE_OUT_AVS_TITLE, 0, 0, argv[0]);
}

int32_t dx_rank;
const KwEntry kDxKeywords[] = {
    {"RANK", TYP_LONG, 1, KW_CLEAR, nullptr, &dx_rank},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void ur_dxsetoutput(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[2] = {argv[0], argc > 1 ? argv[1] : nullptr};
  int n = argk ? get_kw_params(argc, argv, argk, kDxKeywords, pos, 1) : (dx_rank = 0, argc);
  if (n != 2) message(M_WRONG_ARG_COUNT, 0, MSG_LONGJMP, "DXSETOUTPUT");
  send_output(PIPE_OUT_DX, in_range(pos[0], 0, 19, "Output must be 0 to 19."), dx_rank, pos[1]);
}

const RoutineEntry kPipeProcedures[] = {
    {ur_avssetport, "AVSSETPORT", 2, 2},
    {ur_avssettitle, "AVSSETTITLE", 1, 1},
    {ur_dxsetoutput, "DXSETOUTPUT", 2, 2, true},
};

}  // namespace

int run_piped_vek(int argc, char** argv) {
  init_system_tables();
  if (!add_system_routine(kPipeProcedures, false, 3)) fatal("Error adding pipe output routines");
  if (argc != 3) fatal(". Usage: vek -pipe readfd writefd\n");
  read_fd = atoi(argv[1]);
  write_fd = atoi(argv[2]);
  int32_t ready = kPipeReady;
  write_words(&ready, 1);
  for (;;) {
    int32_t command = 0;
    ssize_t r = read_some(&command, 4);
    if (r == 0) exit(1);
    if (r < 0) fatal(". Unrecoverable I/O error on read pipe.\n");
    if (r < 4) {
      message(M_GENERIC, 0, MSG_INFO, "Error in read pipe. Flushing current input.");
      flush_input();
      continue;
    }
    switch (command) {
      case PIPE_RUN_COMMAND: {
        std::string line = read_string();
        error_code = 1;
        send_reply(line.empty() ? 1 : run_line(line));
        break;
      }
      case PIPE_INTERACTIVE: interactive(); break;
      case PIPE_SET_VARIABLE: set_variable(); break;
      case PIPE_EXIT:
        send_reply(1);
        ur_main(RUN_SHUTDOWN, 0, nullptr);
        exit(0);
      default: message(M_GENERIC, 0, MSG_CONTINUE, "Unknown command in command pipe."); break;
    }
  }
}
