// Program entry point: everything happens in the start-up module; the server modes
// plug in here.
#include "session/server.h"
#include "session/startup.h"

int main(int argc, char** argv) {
  startup_hooks.run_rpc = run_rpc_vek;
  startup_hooks.run_piped = run_piped_vek;
  return main_(argc, argv);
}
