// Program entry point: everything happens in the start-up module.
#include "session/startup.h"

int main(int argc, char** argv) { return main_(argc, argv); }
