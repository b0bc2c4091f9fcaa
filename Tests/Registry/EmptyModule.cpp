// A shared library that is no driver module: it exports no "CreateStage".
extern "C" __attribute__((visibility("default"))) int NotADriver() { return 42; }
