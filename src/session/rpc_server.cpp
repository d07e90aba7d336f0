// The RPC server: one TCP transport registered with the port mapper, a dispatcher that
// runs the interpreter synchronously for each call.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <rpc/rpc_com.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "session/rpc_protocol.h"
#include "session/server.h"
#include "session/server_vars.h"
#include "session/startup.h"

namespace {

constexpr int M_RPC_ERROR = -386;  // "RPC Error: %s."

unsigned long rpc_program = RPC_PROGRAM_DEFAULT;
pid_t client_pid = 0;
// Largest request record a connection may send (a SET_VARIABLE of a big array).
constexpr int kMaxRecord = 1 << 30;

// One command through the session's command-list mode; the final !ERROR.
int run_command_line(const char* line) {
  std::vector<char> copy(line, line + strlen(line) + 1);
  char* list[1] = {copy.data()};
  return ur_main(RUN_COMMAND_LIST, 1, list);
}

void signal_client() {
  if (client_pid > 0) kill(client_pid, SIGUSR1);
}

// A reply that cannot be sent means the client is gone: the message is printed and the
// server goes on serving the others.
void reply(SVCXPRT* xprt, xdrproc_t proc, void* result, const char* failure) {
  if (!svc_sendreply(xprt, proc, static_cast<char*>(result))) message(M_RPC_ERROR, 0, MSG_CONTINUE, failure);
}

// XDR routines take their object as their own pointer type; libtirpc calls them
// through one variadic type.
template <typename F>
xdrproc_t as_xdrproc(F f) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

template <typename T>
bool get_args(SVCXPRT* xprt, bool_t (*proc)(XDR*, T*), T* out) {
  if (svc_getargs(xprt, as_xdrproc(proc), reinterpret_cast<char*>(out))) return true;
  svcerr_decode(xprt);
  return false;
}

void get_variable(SVCXPRT* xprt, bool old) {
  WireGetInfo info;
  if (!get_args(xprt, old ? xdr_vek_oldgetinfo : xdr_vek_getinfo, &info)) return;
  if (!old) run_command_line("RETALL");
  WireValue value;
  try {
    value = wire_from_variable(info.name, main_level_variable(info.name, false));
  } catch (const VekJump&) {
    value = WireValue{};
    value.name = info.name;
  }
  reply(xprt, as_xdrproc(old ? xdr_oldvinfo : xdr_vinfo), &value,
        old ? "Unable to send answer to OLDGET_VARIABLE" : "Unable to send answer to GET_VARIABLE");
}

void set_variable(SVCXPRT* xprt, bool old) {
  WireValue value;
  if (!get_args(xprt, old ? xdr_oldvinfo : xdr_vinfo, &value)) return;
  if (!old) run_command_line("RETALL");
  try {
    set_main_variable(value);
  } catch (const VekJump&) {
    // Reported already; the client still gets its reply.
  }
  reply(xprt, as_xdrproc(xdr_void), nullptr,
        old ? "Unable to send answer to OLDSET_VARIABLE" : "Unable to send answer to SET_VARIABLE");
}

void run_command(SVCXPRT* xprt) {
  std::string command;
  if (!get_args(xprt, xdr_vek_command, &command)) return;
  error_code = 1;
  int status = command.empty() ? 1 : run_command_line(command.c_str());
  signal_client();
  reply(xprt, as_xdrproc(xdr_int), &status, "Unable to send answer to RUN_COMMAND");
}

void unregister() { svc_unregister(rpc_program, RPC_VERSION); }

void dispatch(svc_req* request, SVCXPRT* xprt) {
  try {
    switch (request->rq_proc) {
      case RPC_NULL: reply(xprt, as_xdrproc(xdr_void), nullptr, "Unable to reply to RPC call"); break;
      case RPC_OLDGET_VARIABLE: get_variable(xprt, true); break;
      case RPC_GET_VARIABLE: get_variable(xprt, false); break;
      case RPC_OLDSET_VARIABLE: set_variable(xprt, true); break;
      case RPC_SET_VARIABLE: set_variable(xprt, false); break;
      case RPC_RUN_COMMAND: run_command(xprt); break;
      case RPC_EXIT:
        reply(xprt, as_xdrproc(xdr_void), nullptr, "Unable to reply to RPC call");
        ur_main(RUN_SHUTDOWN, 0, nullptr);
        unregister();
        exit(0);
      case RPC_INTERACTIVE:
        reply(xprt, as_xdrproc(xdr_void), nullptr, "Unable to reply to RPC call");
        message(M_GENERIC, 0, MSG_INFO, "Entering Interactive Mode");
        ur_main(RUN_NESTED, 0, nullptr);
        message(M_GENERIC, 0, MSG_INFO, "Returning to Server Mode");
        signal_client();
        break;
      default: break;  // 6, 7 and anything above 9 do nothing
    }
  } catch (const VekJump&) {
    // An error outside any statement: reported already; the server goes on.
  } catch (const std::exception& e) {
    message(M_RPC_ERROR, 0, MSG_CONTINUE, e.what());
  }
}

// The listening socket: loopback unless the environment names another address.
int listening_socket() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char* wanted = getenv(kServerAddressVariable);
  if (wanted && *wanted && inet_pton(AF_INET, wanted, &addr.sin_addr) != 1) {
    std::string text = std::string("Couldn't create RPC server (invalid ") + kServerAddressVariable + ")";
    message(M_RPC_ERROR, 0, MSG_EXIT, text.c_str());
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int run_rpc_vek(unsigned program, int argc, char** argv) {
  rpc_program = program ? program : RPC_PROGRAM_DEFAULT;
  if (argc > 1) client_pid = static_cast<pid_t>(atoi(argv[1]));
  static char greeting[] = "print,'Entering Server Mode'";
  char* list[1] = {greeting};
  ur_main(RUN_COMMAND_LIST, 1, list);

  // Connections read without blocking, so a client that stops in the middle of a
  // request holds up no one.
  int max_record = kMaxRecord;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &max_record);
  int fd = listening_socket();
  SVCXPRT* xprt = fd < 0 ? nullptr : svctcp_create(fd, 0, 0);
  if (!xprt) message(M_RPC_ERROR, 0, MSG_EXIT, "Couldn't create RPC server");
  pmap_unset(rpc_program, RPC_VERSION);
  if (!svc_register(xprt, rpc_program, RPC_VERSION, dispatch, IPPROTO_TCP))
    message(M_RPC_ERROR, 0, MSG_EXIT, "Couldn't register service");
  declare_exit_handler(unregister);
  svc_run();
  message(M_SYSTEM_ERROR, 0, MSG_EXIT, ". svc_run(3) returned");
  return 0;
}
