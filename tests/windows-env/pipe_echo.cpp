// Copies standard input to standard output with ReadFile/WriteFile, as a
// console-less program like the command server does, so the pipe test shows
// that a host's pipes reach such a program and how end of input arrives.
#include <windows.h>

#include <cstdio>

namespace {

void report(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

bool write_all(HANDLE out, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, size, &written, nullptr)) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

int main() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE || out == nullptr || out == INVALID_HANDLE_VALUE) {
    report("pipe_echo: no standard input or output handle\n");
    return 1;
  }
  char buffer[999];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE) {
        report("pipe_echo: end of input (read failed with a broken pipe)\n");
        return 0;
      }
      char text[96];
      std::snprintf(text, sizeof text, "pipe_echo: read failed (Windows error %lu)\n", error);
      report(text);
      return 1;
    }
    if (got == 0) {
      report("pipe_echo: end of input (read returned 0 bytes)\n");
      return 0;
    }
    if (!write_all(out, buffer, got)) {
      report("pipe_echo: write to standard output failed\n");
      return 1;
    }
  }
}
