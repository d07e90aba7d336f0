#include "compiler/cstate.h"

const char* comp_input_position(int* line_count) {
  *line_count = cstate.term_lines;
  return "/dev/tty";
}
