#include "session/pipe_protocol.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/message.h"

namespace {

[[noreturn]] void refuse(const char* text) {
  message(M_GENERIC, 0, MSG_LONGJMP, text);
  throw VekJump{MSG_LONGJMP, M_GENERIC};  // message() does not return for action 2
}

// An attached segment, detached on every path.
struct Attached {
  void* at = reinterpret_cast<void*>(-1);
  ~Attached() {
    if (at != reinterpret_cast<void*>(-1)) shmdt(at);
  }
};

}  // namespace

WireValue wire_from_pipe(const std::string& name, const PipeVarDesc& d) {
  WireValue w;
  w.name = name;
  if (d.type < W_BYTE || d.type > W_STRING) refuse("Invalid variable type in command pipe.");
  w.type = static_cast<uint8_t>(d.type);
  uint64_t n = 1;
  if (d.flags & kWireArrayFlag) {
    if (d.n_dim < 1 || d.n_dim > kWireMaxDims) refuse("Invalid variable dimensions in command pipe.");
    w.flags = kWireArrayFlag;
    for (int i = 0; i < d.n_dim; i++) {
      if (d.dims[i] < 1) refuse("Invalid variable dimensions in command pipe.");
      w.dims.push_back(static_cast<uint32_t>(d.dims[i]));
      n *= static_cast<uint64_t>(d.dims[i]);
      if (n > 0x7fffffff) refuse("Invalid variable dimensions in command pipe.");
    }
  }
  if (d.n_elts != static_cast<int64_t>(n)) refuse("Invalid element count in command pipe.");
  int size = wire_elem_size(w.type);
  if (!w.is_array() && w.type != W_STRING && d.shm_id < 0) {
    const auto* p = reinterpret_cast<const uint8_t*>(d.scalar);
    w.data.assign(p, p + size);
    return w;
  }
  if (d.byte_len < 0 || (w.type != W_STRING && static_cast<uint64_t>(d.byte_len) != n * size))
    refuse("Invalid data length in command pipe.");
  shmid_ds info{};
  if (shmctl(d.shm_id, IPC_STAT, &info) != 0 || info.shm_segsz < static_cast<size_t>(d.byte_len))
    refuse("Unable to use the shared memory segment of the variable.");
  Attached seg;
  seg.at = shmat(d.shm_id, nullptr, SHM_RDONLY);
  if (seg.at == reinterpret_cast<void*>(-1)) refuse("Unable to attach the shared memory segment of the variable.");
  const auto* p = static_cast<const uint8_t*>(seg.at);
  if (w.type != W_STRING) {
    w.data.assign(p, p + d.byte_len);
    return w;
  }
  const auto* end = p + d.byte_len;
  for (uint64_t i = 0; i < n; i++) {
    const auto* nul = static_cast<const uint8_t*>(memchr(p, 0, static_cast<size_t>(end - p)));
    if (!nul) refuse("Invalid string data in shared memory.");
    w.strings.emplace_back(reinterpret_cast<const char*>(p), static_cast<size_t>(nul - p));
    p = nul + 1;
  }
  return w;
}

std::vector<uint8_t> pipe_from_wire(const WireValue& w, PipeVarDesc* d) {
  *d = PipeVarDesc{};
  d->type = w.type;
  d->flags = w.is_array() ? kWireArrayFlag : 0;
  d->n_dim = static_cast<int32_t>(w.dims.size());
  for (size_t i = 0; i < w.dims.size() && i < 8; i++) d->dims[i] = static_cast<int32_t>(w.dims[i]);
  d->n_elts = static_cast<int32_t>(w.count());
  std::vector<uint8_t> bytes;
  if (w.type == W_STRING) {
    for (const auto& s : w.strings) {
      bytes.insert(bytes.end(), s.begin(), s.end());
      bytes.push_back(0);
    }
  } else {
    bytes = w.data;
    if (!w.is_array()) memcpy(d->scalar, w.data.data(), std::min<size_t>(w.data.size(), 8));
  }
  d->byte_len = static_cast<int32_t>(bytes.size());
  return bytes;
}

int shm_put(int tag, const std::vector<uint8_t>& data, int32_t* key) {
  int id = -1;
  for (int attempt = 0; attempt <= 8; attempt++) {
    *key = static_cast<int32_t>((static_cast<uint32_t>(tag) << 24) | (static_cast<uint32_t>(getpid()) << 8) |
                                static_cast<uint32_t>(attempt));
    id = shmget(*key, std::max<size_t>(data.size(), 1), IPC_CREAT | IPC_EXCL | 0600);
    if (id >= 0 || errno != EEXIST) break;
  }
  if (id < 0) return -1;
  void* at = shmat(id, nullptr, 0);
  if (at == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return -1;
  }
  if (!data.empty()) memcpy(at, data.data(), data.size());
  shmdt(at);
  return id;
}
