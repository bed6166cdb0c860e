// The name of a program that links the runtime but is no helper (a test,
// say): empty, and such a program leaves no audit records. Each helper
// defines its own name, so the linker never takes this one for a helper.
#include "setuid.h"

const char helpername[] = "";
