// Stand-in for the maker's calibration library and its runtime: it does no
// calibration, it records and shapes calls so that the server can be run
// and tested without them. It never writes to standard output; what it
// does is steered by environment variables read at every call:
//   CALVIX_JOURNAL=<file>        append "<action> <module>" per call
//   CALVIX_FAIL_RUNTIME=1        runtime initialisation fails
//   CALVIX_FAIL_INIT=1           the library initialiser fails
//   CALVIX_THROW_MODULE=<word>   calls for that module fail
//   CALVIX_DELAY_MS=<n>          every call takes n ms

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "calvix_abi.h"

struct CalvixString {
  std::string text;
};

namespace {

thread_local std::string t_last_error;
thread_local bool t_has_error = false;

std::atomic<bool> g_runtime_ready{false};
std::atomic<bool> g_library_ready{false};

void clear_error() { t_has_error = false; }

void set_error(const std::string& text) {
  t_last_error = text;
  t_has_error = true;
}

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool switched_on(const char* name) {
  const std::string value = variable(name);
  return !value.empty() && value != "0";
}

void sleep_milliseconds(unsigned long milliseconds) {
#ifdef _WIN32
  Sleep(static_cast<DWORD>(milliseconds));
#else
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) < 0 && errno == EINTR) {
  }
#endif
}

// The simulated duration of one call; false when the variable is not a
// whole number.
bool call_delay(unsigned long& milliseconds) {
  const std::string text = variable("CALVIX_DELAY_MS");
  milliseconds = 0;
  if (text.empty()) return true;
  char* end = nullptr;
  errno = 0;
  milliseconds = std::strtoul(text.c_str(), &end, 10);
  if (text[0] == '-' || errno != 0 || end == nullptr || *end != '\0') {
    set_error("CALVIX_DELAY_MS: expected a whole number of milliseconds, found '" + text + "'");
    return false;
  }
  return true;
}

// Appends one line and closes the file, so that the line is on disk before
// the call returns and a reader of the journal sees calls as they finish.
bool append_to_journal(const std::string& line) {
  const std::string path = variable("CALVIX_JOURNAL");
  if (path.empty()) return true;
  std::FILE* journal = std::fopen(path.c_str(), "ab");
  if (journal == nullptr) {
    set_error("CALVIX_JOURNAL: cannot append to '" + path + "': " + std::strerror(errno));
    return false;
  }
  const bool written = std::fputs(line.c_str(), journal) >= 0;
  const bool closed = std::fclose(journal) == 0;
  if (!written || !closed) {
    set_error("CALVIX_JOURNAL: cannot write to '" + path + "'");
    return false;
  }
  return true;
}

int run_call(const std::string& action, const std::string& module) {
  if (!g_runtime_ready.load() || !g_library_ready.load()) {
    set_error("CalvixCli called before the runtime and the library were initialised");
    return 1;
  }
  unsigned long delay = 0;
  if (!call_delay(delay)) return 1;
  sleep_milliseconds(delay);
  if (!append_to_journal(action + " " + module + "\n")) return 1;
  const std::string failing = variable("CALVIX_THROW_MODULE");
  if (!failing.empty() && failing == module) {
    set_error("calibration of module '" + module + "' failed (CALVIX_THROW_MODULE)");
    return 1;
  }
  return 0;
}

}  // namespace

extern "C" {

CALVIX_EXPORT int CalvixRuntimeInitialize(const char* const* /*options*/, int option_count) {
  clear_error();
  if (option_count < 0) {
    set_error("runtime initialisation: expected a non-negative option count, found " + std::to_string(option_count));
    return 0;
  }
  if (switched_on("CALVIX_FAIL_RUNTIME")) {
    set_error("runtime initialisation failed (CALVIX_FAIL_RUNTIME)");
    return 0;
  }
  g_runtime_ready.store(true);
  return 1;
}

CALVIX_EXPORT int CalvixDllInitialize(void) {
  clear_error();
  if (!g_runtime_ready.load()) {
    set_error("CalvixDllInitialize called before the runtime was initialised");
    return 0;
  }
  if (switched_on("CALVIX_FAIL_INIT")) {
    set_error("library initialisation failed (CALVIX_FAIL_INIT)");
    return 0;
  }
  g_library_ready.store(true);
  return 1;
}

CALVIX_EXPORT CalvixString* CalvixStringCreate(const char* text) {
  clear_error();
  if (text == nullptr) {
    set_error("CalvixStringCreate: expected a string, found a null pointer");
    return nullptr;
  }
  try {
    return new CalvixString{text};
  } catch (const std::bad_alloc&) {
    set_error("CalvixStringCreate: out of memory");
    return nullptr;
  }
}

CALVIX_EXPORT void CalvixStringRelease(CalvixString* array) { delete array; }

CALVIX_EXPORT int CalvixCli(const CalvixString* action, const CalvixString* module) {
  clear_error();
  if (action == nullptr || module == nullptr) {
    set_error("CalvixCli: expected two arrays, found a null one");
    return 1;
  }
  try {
    return run_call(action->text, module->text);
  } catch (const std::exception& failure) {
    set_error(std::string("CalvixCli: ") + failure.what());
    return 1;
  }
}

CALVIX_EXPORT const char* CalvixLastError(void) { return t_has_error ? t_last_error.c_str() : nullptr; }

}  // extern "C"
