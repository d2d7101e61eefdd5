// The daemon. It reads no arguments: everything tunable lives in its
// configuration file.
#include "process/process.h"

int main() { return KeeperMain(); }
