// Loaded by TestPlatform.cpp through plat::LoadModule. Deliberately free of C++ statics so that
// the loader can really unload it again.
extern "C" int plinth_test_module_answer(int x) { return 2 * x + 1; }
