// Registers every benchmark case and runs the ones the command line selects.
#include "bench/bench_support.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterTableBenchmarks();
    RegisterScriptBenchmarks();
    RegisterHandlerBenchmarks();
    RegisterFileBenchmarks();
#if QUILL_REDIS
    RegisterRedisBenchmarks();
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
