// Process entry: no arguments are used; the exit status is 0 on every path.
#include "front/Halvorant.h"

int main() { return HalvorantMain(); }
