// A library that exports no PKCS#11 entry point. One fake module copy depends on it (and
// it is installed only in the folder that the module directory rule adds to the search
// path); tests also load it as "a library that is not a module".
#ifdef _WIN32
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED __attribute__((visibility("default")))
#endif

extern "C" EXPORTED int fake_dependency_marker() { return 1; }
