// main() of the benchmark's integration tests: CTest starts them under
// `unshare --mount --propagation private`; the namespace is the benchmark's.
#include "harness.h"
#include "sandbox.h"

int main(int argc, char **argv) {
    const kivtest::SandboxOptions options = kivbench::benchSandbox();
    return kivtest::runTestsInSandbox(argc, argv, &options);
}
