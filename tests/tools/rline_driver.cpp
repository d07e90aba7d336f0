// Reads lines through the line editor until end of input and echoes each one as
// LINE[...], so that a terminal test can check what the editor returned.
#include <cstdio>

#include "term/rline.h"

int main() {
  init_tcinfo();
  char buf[RL_LINE_SIZE];
  while (vek_rline(buf, sizeof buf, 0, stdin, "Vek> ", 0)) {
    std::printf("LINE[%s]\n", buf);
    std::fflush(stdout);
  }
  std::printf("END\n");
  return 0;
}
