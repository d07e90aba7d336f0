// The server modes: an ONC RPC service over TCP ("-server") and the pipe protocol
// with a parent process ("-pipe readfd writefd"). Both drive ur_main with command
// lists, nested interactive sessions and the shutdown mode.
#pragma once

// Never returns: serves until the EXIT procedure (or a fatal set-up error). The RPC
// transport listens on the loopback interface unless VEK_SERVER_ADDRESS names another
// IPv4 address ("0.0.0.0": every interface).
int run_rpc_vek(unsigned program, int argc, char** argv);
// Never returns: serves the pipes until command 4 or the end of the command pipe.
int run_piped_vek(int argc, char** argv);

// Environment variable naming the address the RPC server listens on.
constexpr const char* kServerAddressVariable = "VEK_SERVER_ADDRESS";
