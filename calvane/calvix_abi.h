#pragma once
/* C entry points of the calibration library as the server loads them.
 * Plain C so that any build of the library (ours or the maker's behind an
 * adapter) can be dropped next to the server: no C++ exception or object
 * crosses this boundary, failures come back as status values with the text
 * in CalvixLastError(). */

#ifdef _WIN32
#define CALVIX_EXPORT __declspec(dllexport)
#else
#define CALVIX_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A read-only character array owned by the library. */
typedef struct CalvixString CalvixString;

/* Runtime initialisation with an option list; non-zero on success. */
typedef int (*CalvixRuntimeInitializeFn)(const char* const* options, int option_count);
/* The library's initialiser; non-zero on success. */
typedef int (*CalvixDllInitializeFn)(void);
/* Creates an array holding a copy of `text`; null on failure. */
typedef CalvixString* (*CalvixStringCreateFn)(const char* text);
/* Releases an array made by CalvixStringCreate; null is allowed. */
typedef void (*CalvixStringReleaseFn)(CalvixString* array);
/* One calibration call, action first; 0 on success. */
typedef int (*CalvixCliFn)(const CalvixString* action, const CalvixString* module);
/* Text of the last failure on the calling thread, or null when there is none. */
typedef const char* (*CalvixLastErrorFn)(void);

#define CALVIX_RUNTIME_INITIALIZE "CalvixRuntimeInitialize"
#define CALVIX_DLL_INITIALIZE "CalvixDllInitialize"
#define CALVIX_STRING_CREATE "CalvixStringCreate"
#define CALVIX_STRING_RELEASE "CalvixStringRelease"
#define CALVIX_CLI "CalvixCli"
#define CALVIX_LAST_ERROR "CalvixLastError"

#ifdef __cplusplus
}
#endif
