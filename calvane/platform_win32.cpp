// Win32 services for the server: the standard handles, a thread, a hidden
// top-level window whose message loop is the main thread's wait, and
// LoadLibrary for the calibration library.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform.h"

namespace calvane::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"CalvaneMainFrame";
constexpr wchar_t kWindowTitle[] = L"Calvane";

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
  return utf8;
}

std::string system_message(DWORD code) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message.empty() ? "system error " + std::to_string(code) : message;
}

bool usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

bool write_all(HANDLE handle, const char* bytes, std::size_t count) {
  if (!usable(handle)) return false;
  while (count > 0) {
    DWORD written = 0;
    const DWORD request = count > 0x10000000 ? 0x10000000 : static_cast<DWORD>(count);
    if (!WriteFile(handle, bytes, request, &written, nullptr)) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

LRESULT CALLBACK main_frame_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

void prepare_process() {
  // Nothing to set: a write to a pipe whose reader is gone fails with an
  // error code instead of raising anything.
}

ReadResult read_standard_input(char* buffer, std::size_t capacity) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!usable(input)) return {ReadResult::Kind::EndOfInput, 0};
  DWORD count = 0;
  if (ReadFile(input, buffer, static_cast<DWORD>(capacity), &count, nullptr)) {
    // A successful read of nothing is how a closed pipe reports its end.
    if (count == 0) return {ReadResult::Kind::EndOfInput, 0};
    return {ReadResult::Kind::Data, count};
  }
  const DWORD error = GetLastError();
  if (error == ERROR_MORE_DATA) return {ReadResult::Kind::Data, count};
  if (error != ERROR_BROKEN_PIPE) {
    report_failure("calvane: reading standard input failed: " + system_message(error));
  }
  return {ReadResult::Kind::EndOfInput, 0};
}

bool write_standard_output(const char* bytes, std::size_t count) {
  return write_all(GetStdHandle(STD_OUTPUT_HANDLE), bytes, count);
}

// The system closes the program through its window: see MainWait.
void catch_termination_signals() {}

void write_buffered_output(const char* text) { std::fputs(text, stdout); }

void report_failure(const std::string& text) {
  const std::string line = text + "\n";
  write_all(GetStdHandle(STD_ERROR_HANDLE), line.data(), line.size());
}

void sleep_milliseconds(unsigned milliseconds) { Sleep(milliseconds); }

struct MainWait::State {
  HWND window = nullptr;
};

MainWait::MainWait() : state_(std::make_unique<State>()) {}

MainWait::~MainWait() {
  if (state_->window != nullptr && IsWindow(state_->window)) DestroyWindow(state_->window);
}

bool MainWait::create(std::string& error) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = main_frame_procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClass;
  if (RegisterClassW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    error = "Cannot register the main window class: " + system_message(GetLastError());
    return false;
  }
  // Created and never shown: it exists so that the main thread has a
  // message loop that a close request (ours or the system's) ends.
  state_->window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (state_->window == nullptr) {
    error = "Cannot create the main window: " + system_message(GetLastError());
    return false;
  }
  return true;
}

void MainWait::post_close_request() { PostMessageW(state_->window, WM_CLOSE, 0, 0); }

void MainWait::wait_for_close_request() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

struct Thread::State {
  HANDLE handle = nullptr;
};

namespace {
struct ThreadStart {
  Thread::Entry entry;
  void* argument;
};

DWORD WINAPI thread_trampoline(LPVOID raw) {
  const ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.entry(start.argument);
  return 0;
}
}  // namespace

Thread::Thread() : state_(std::make_unique<State>()) {}

Thread::~Thread() {
  if (state_->handle != nullptr) CloseHandle(state_->handle);
}

bool Thread::start(Entry entry, void* argument) {
  auto* start = new ThreadStart{entry, argument};
  DWORD identifier = 0;
  state_->handle = CreateThread(nullptr, 0, thread_trampoline, start, 0, &identifier);
  if (state_->handle == nullptr || identifier == 0) {
    if (state_->handle == nullptr) delete start;
    return false;
  }
  return true;
}

bool Thread::join_for(unsigned milliseconds) {
  if (state_->handle == nullptr) return true;
  return WaitForSingleObject(state_->handle, milliseconds) == WAIT_OBJECT_0;
}

SharedLibrary::SharedLibrary() = default;
SharedLibrary::~SharedLibrary() = default;

bool SharedLibrary::open(const std::string& path, std::string& error) {
  handle_ = LoadLibraryW(widen(path).c_str());
  if (handle_ == nullptr) {
    error = path + ": " + system_message(GetLastError());
    return false;
  }
  return true;
}

void* SharedLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string executable_directory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return ".\\";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return narrow(path.substr(0, path.find_last_of(L"\\/") + 1));
}

const char* default_library_file_name() { return "calvix.dll"; }

void end_process(int status) {
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) Sleep(INFINITE);
}

}  // namespace calvane::platform
