// The pipe protocol's records: command and reply words, the 104-byte variable
// description, and the shared-memory segments that carry variable data between the
// server and its parent. All words are 32 bits in the machine's byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/rpc_protocol.h"

enum PipeCommand : int32_t {
  PIPE_RUN_COMMAND = 1,   // then a NUL-terminated command line
  PIPE_INTERACTIVE = 2,
  PIPE_SET_VARIABLE = 3,  // then a NUL-terminated name and a PipeVarDesc
  PIPE_EXIT = 4,
};
constexpr int32_t kPipeReady = 1;   // written once when the server is ready
constexpr int32_t kPipeReply = 7;   // followed by a status word
// Written by the output routines, before the reply of the command that called them:
// the word 8, the kind, the port or output number, the rank, the segment key, then a
// PipeVarDesc whose shm_id names the segment. The parent removes the segment.
constexpr int32_t kPipeOutput = 8;
enum PipeOutputKind : int32_t { PIPE_OUT_AVS_PORT = 1, PIPE_OUT_AVS_TITLE = 2, PIPE_OUT_DX = 3 };

constexpr size_t kPipeStringMax = 511;

// A variable's shape and where its data lies. Numeric scalars may travel inline
// (shm_id -1); everything else lies in the segment: numbers in machine layout (complex
// as float pairs), strings each followed by a NUL.
struct PipeVarDesc {
  int32_t type = 0;
  int32_t flags = 0;  // 4: array
  int32_t n_dim = 0;
  int32_t dims[8] = {};
  int32_t n_elts = 0;
  int32_t byte_len = 0;
  int32_t shm_id = -1;
  int32_t scalar[2] = {};
  int32_t reserved[10] = {};
};
static_assert(sizeof(PipeVarDesc) == 104);

// The value a description denotes, its data read from the segment when it has one.
// Refuses a bad description or segment (message -1, action 2).
WireValue wire_from_pipe(const std::string& name, const PipeVarDesc& desc);
// A description of the value and the bytes the segment must hold (shm_id left -1).
std::vector<uint8_t> pipe_from_wire(const WireValue& value, PipeVarDesc* desc);
// A new segment holding data, keyed (tag << 24) | (pid << 8) | attempt; returns its id
// (-1 on failure) and the key.
int shm_put(int tag, const std::vector<uint8_t>& data, int32_t* key);
