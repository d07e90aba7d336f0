// vekclient: drives a Vek RPC server from the shell. One request per invocation:
//   vekclient [-h host] [-p program] [-t seconds] REQUEST ARGS...
// Requests: run LINE | get NAME | oldget NAME | set NAME TYPE VALUE... |
//   oldset NAME TYPE VALUE... | interactive | exit | null | bench N LINE
// TYPE is byte, int, long, float, double, complex or string, optionally followed by
// array dimensions in brackets (long[3,2]); complex values are written re,im.
#include <rpc/rpc.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "session/rpc_protocol.h"

namespace {

const char* const kTypeNames[] = {"UNDEFINED", "BYTE", "INT", "LONG", "FLOAT", "DOUBLE", "COMPLEX", "STRING", "STRUCT"};

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: vekclient [-h host] [-p program] [-t seconds] REQUEST ARGS...\n"
          "  run LINE              execute a command line; prints its status\n"
          "  get NAME              print a main-level variable (oldget: the older record)\n"
          "  set NAME TYPE VALUE...  set a variable (oldset: the older record); TYPE is\n"
          "                        byte|int|long|float|double|complex|string, [d1,d2,...] for arrays\n"
          "  interactive           hand the server's terminal to its user\n"
          "  exit                  end the server\n"
          "  null                  call the null procedure\n"
          "  bench N LINE          run LINE N times; prints calls per second\n");
  exit(2);
}

template <typename F>
xdrproc_t as_xdrproc(F f) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

struct Client {
  CLIENT* clnt = nullptr;
  timeval timeout{};

  bool call(unsigned long proc, xdrproc_t in, void* arg, xdrproc_t out, void* result) {
    clnt_stat st = clnt_call(clnt, proc, in, static_cast<char*>(arg), out, static_cast<char*>(result), timeout);
    if (st == RPC_SUCCESS) return true;
    clnt_perror(clnt, "vekclient");
    return false;
  }
};

bool parse_type(const std::string& spec, WireValue* w) {
  std::string base = spec.substr(0, spec.find('['));
  for (auto& c : base) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  w->type = W_UNDEF;
  for (int t = W_BYTE; t <= W_STRING; t++)
    if (base == kTypeNames[t]) w->type = static_cast<uint8_t>(t);
  if (w->type == W_UNDEF) return false;
  size_t open = spec.find('[');
  if (open == std::string::npos) return true;
  w->flags = kWireArrayFlag;
  const char* p = spec.c_str() + open + 1;
  while (*p && *p != ']') {
    char* end;
    long d = strtol(p, &end, 10);
    if (end == p || d < 1) return false;
    w->dims.push_back(static_cast<uint32_t>(d));
    p = *end == ',' ? end + 1 : end;
  }
  return !w->dims.empty() && w->dims.size() <= kWireMaxDims;
}

bool parse_values(WireValue* w, char** values, int n) {
  if (static_cast<uint64_t>(n) != w->count()) {
    fprintf(stderr, "vekclient: %d values given, %" PRIu64 " expected\n", n, w->count());
    return false;
  }
  int size = wire_elem_size(w->type);
  w->data.resize(static_cast<size_t>(n) * size);
  for (int i = 0; i < n; i++) {
    const char* v = values[i];
    uint8_t* at = w->data.data() + static_cast<size_t>(i) * size;
    switch (w->type) {
      case W_BYTE: *at = static_cast<uint8_t>(strtol(v, nullptr, 0)); break;
      case W_INT: {
        int16_t x = static_cast<int16_t>(strtol(v, nullptr, 0));
        memcpy(at, &x, 2);
        break;
      }
      case W_LONG: {
        int32_t x = static_cast<int32_t>(strtol(v, nullptr, 0));
        memcpy(at, &x, 4);
        break;
      }
      case W_FLOAT: {
        float x = strtof(v, nullptr);
        memcpy(at, &x, 4);
        break;
      }
      case W_DOUBLE: {
        double x = strtod(v, nullptr);
        memcpy(at, &x, 8);
        break;
      }
      case W_COMPLEX: {
        char* end;
        float re_im[2] = {strtof(v, &end), 0.0f};
        if (*end == ',') re_im[1] = strtof(end + 1, nullptr);
        memcpy(at, re_im, 8);
        break;
      }
      case W_STRING: w->strings.emplace_back(v); break;
      default: return false;
    }
  }
  if (w->type == W_STRING) w->data.clear();
  return true;
}

void print_value(const WireValue& w) {
  printf("%s %s", w.name.c_str(), w.type <= W_STRUCT ? kTypeNames[w.type] : "?");
  if (w.is_array()) {
    printf(" [");
    for (size_t i = 0; i < w.dims.size(); i++) printf("%s%u", i ? "," : "", w.dims[i]);
    printf("]");
  }
  printf("\n");
  if (w.type == W_STRING) {
    for (const auto& s : w.strings) printf("%s\n", s.c_str());
    return;
  }
  int size = wire_elem_size(w.type);
  if (!size) return;
  uint64_t n = w.data.size() / size;
  for (uint64_t i = 0; i < n; i++) {
    const uint8_t* at = w.data.data() + i * size;
    if (i) putchar(' ');
    switch (w.type) {
      case W_BYTE: printf("%u", *at); break;
      case W_INT: {
        int16_t x;
        memcpy(&x, at, 2);
        printf("%d", x);
        break;
      }
      case W_LONG: {
        int32_t x;
        memcpy(&x, at, 4);
        printf("%d", x);
        break;
      }
      case W_FLOAT: {
        float x;
        memcpy(&x, at, 4);
        printf("%.9g", x);
        break;
      }
      case W_DOUBLE: {
        double x;
        memcpy(&x, at, 8);
        printf("%.17g", x);
        break;
      }
      case W_COMPLEX: {
        float x[2];
        memcpy(x, at, 8);
        printf("(%.9g,%.9g)", x[0], x[1]);
        break;
      }
      default: break;
    }
  }
  printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  unsigned long program = RPC_PROGRAM_DEFAULT;
  long seconds = 3600;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (!strcmp(argv[i], "-h"))
      host = argv[i + 1];
    else if (!strcmp(argv[i], "-p"))
      program = strtoul(argv[i + 1], nullptr, 0);
    else if (!strcmp(argv[i], "-t"))
      seconds = strtol(argv[i + 1], nullptr, 10);
    else
      usage();
  }
  if (i >= argc) usage();
  std::string request = argv[i++];
  int nargs = argc - i;
  char** args = argv + i;

  Client c;
  c.timeout.tv_sec = seconds;
  c.clnt = clnt_create(host.c_str(), program, RPC_VERSION, "tcp");
  if (!c.clnt) {
    clnt_pcreateerror("vekclient");
    return 1;
  }
  clnt_control(c.clnt, CLSET_TIMEOUT, reinterpret_cast<char*>(&c.timeout));
  const xdrproc_t void_proc = as_xdrproc(xdr_void);
  bool ok = true;
  if (request == "run" && nargs == 1) {
    std::string line = args[0];
    int status = 0;
    ok = c.call(RPC_RUN_COMMAND, as_xdrproc(xdr_vek_command), &line, as_xdrproc(xdr_int), &status);
    if (ok) printf("%d\n", status);
  } else if ((request == "get" || request == "oldget") && nargs == 1) {
    bool old = request == "oldget";
    WireGetInfo info{args[0], 0};
    WireValue value;
    ok = c.call(old ? RPC_OLDGET_VARIABLE : RPC_GET_VARIABLE, as_xdrproc(old ? xdr_vek_oldgetinfo : xdr_vek_getinfo),
                &info, as_xdrproc(old ? xdr_oldvinfo : xdr_vinfo), &value);
    if (ok) print_value(value);
  } else if ((request == "set" || request == "oldset") && nargs >= 2) {
    bool old = request == "oldset";
    WireValue value;
    value.name = args[0];
    if (!parse_type(args[1], &value) || !parse_values(&value, args + 2, nargs - 2)) usage();
    ok = c.call(old ? RPC_OLDSET_VARIABLE : RPC_SET_VARIABLE, as_xdrproc(old ? xdr_oldvinfo : xdr_vinfo), &value,
                void_proc, nullptr);
  } else if (request == "interactive" && nargs == 0) {
    ok = c.call(RPC_INTERACTIVE, void_proc, nullptr, void_proc, nullptr);
  } else if (request == "exit" && nargs == 0) {
    ok = c.call(RPC_EXIT, void_proc, nullptr, void_proc, nullptr);
  } else if (request == "null" && nargs == 0) {
    ok = c.call(RPC_NULL, void_proc, nullptr, void_proc, nullptr);
  } else if (request == "bench" && nargs == 2) {
    long n = strtol(args[0], nullptr, 10);
    std::string line = args[1];
    int status = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (long k = 0; k < n && ok; k++)
      ok = line.empty() ? c.call(RPC_NULL, void_proc, nullptr, void_proc, nullptr)
                        : c.call(RPC_RUN_COMMAND, as_xdrproc(xdr_vek_command), &line, as_xdrproc(xdr_int), &status);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (ok) printf("%ld calls in %.3f s: %.0f calls per second\n", n, s, n / s);
  } else {
    usage();
  }
  clnt_destroy(c.clnt);
  return ok ? 0 : 1;
}
