// main() of every integration test executable.  CTest starts it under
// `unshare --mount --propagation private`.
#include "sandbox.h"

int main(int argc, char **argv) { return kivtest::runTestsInSandbox(argc, argv); }
