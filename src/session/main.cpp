// Program entry point.
#include <cstdio>

int main() {
  std::puts("Vek: the interpreter is not built yet.");
  return 0;
}
