// POSIX services for the server: file descriptors 0 and 1, a pthread, a
// self-pipe for the close request and dlopen for the library.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform.h"

namespace calvane::platform {
namespace {

// Write end of the close-request pipe, for the signal handler.
volatile sig_atomic_t g_close_request_fd = -1;
// Set by a termination signal that came before the pipe existed.
volatile sig_atomic_t g_close_requested_early = 0;

void post_close_byte(int fd) {
  const char byte = 1;
  // The pipe is non-blocking: when it is full a request is pending anyway.
  while (write(fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

extern "C" void on_termination_signal(int) {
  const int saved_errno = errno;
  g_close_requested_early = 1;
  if (g_close_request_fd >= 0) post_close_byte(g_close_request_fd);
  errno = saved_errno;
}

void wait_until(int fd, short events) {
  pollfd request{fd, events, 0};
  while (poll(&request, 1, -1) < 0 && errno == EINTR) {
  }
}

void write_to_stderr(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void catch_termination_signals() {
  struct sigaction action {};
  action.sa_handler = on_termination_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

void prepare_process() {
  // A host that goes away must turn writes into errors, not kill the server.
  signal(SIGPIPE, SIG_IGN);
  // A standard stream the host left closed is the null device: otherwise the next descriptor the
  // server opens (the close-request pipe) would take its number, and the reader would wait on the
  // server's own pipe for ever. A closed input is then an end of input, a closed output takes nothing.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

ReadResult read_standard_input(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, capacity);
    if (n > 0) return {ReadResult::Kind::Data, static_cast<std::size_t>(n)};
    if (n == 0) return {ReadResult::Kind::EndOfInput, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // The host handed over a non-blocking descriptor: wait, do not spin.
      wait_until(STDIN_FILENO, POLLIN);
      continue;
    }
    write_to_stderr(std::string("calvane: reading standard input failed: ") + std::strerror(errno));
    return {ReadResult::Kind::EndOfInput, 0};
  }
}

bool write_standard_output(const char* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = write(STDOUT_FILENO, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_until(STDOUT_FILENO, POLLOUT);
    } else {
      return false;
    }
  }
  return true;
}

void write_buffered_output(const char* text) { std::fputs(text, stdout); }

void report_failure(const std::string& text) { write_to_stderr(text); }

void sleep_milliseconds(unsigned milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) < 0 && errno == EINTR) {
  }
}

struct MainWait::State {
  int read_fd = -1;
  int write_fd = -1;
};

MainWait::MainWait() : state_(std::make_unique<State>()) {}

MainWait::~MainWait() {
  // The descriptors stay open: a signal handler or a late reader may still
  // post to them until the process ends.
}

bool MainWait::create(std::string& error) {
  int fds[2];
  if (pipe(fds) != 0) {
    error = std::string("Cannot create the close-request pipe: ") + std::strerror(errno);
    return false;
  }
  for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  state_->read_fd = fds[0];
  state_->write_fd = fds[1];
  g_close_request_fd = fds[1];
  catch_termination_signals();
  // A signal before this point found no pipe to post to.
  if (g_close_requested_early) post_close_byte(fds[1]);
  return true;
}

void MainWait::post_close_request() { post_close_byte(state_->write_fd); }

void MainWait::wait_for_close_request() {
  char byte;
  for (;;) {
    const ssize_t n = read(state_->read_fd, &byte, 1);
    if (n > 0 || (n < 0 && errno != EINTR)) return;
  }
}

struct Thread::State {
  pthread_t thread{};
  bool started = false;
  bool joined = false;
};

namespace {
struct ThreadStart {
  Thread::Entry entry;
  void* argument;
};

extern "C" void* thread_trampoline(void* raw) {
  const ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.entry(start.argument);
  return nullptr;
}
}  // namespace

Thread::Thread() : state_(std::make_unique<State>()) {}

Thread::~Thread() {
  if (state_->started && !state_->joined) pthread_detach(state_->thread);
}

bool Thread::start(Entry entry, void* argument) {
  auto* start = new ThreadStart{entry, argument};
  state_->started = pthread_create(&state_->thread, nullptr, thread_trampoline, start) == 0;
  if (!state_->started) delete start;
  return state_->started;
}

bool Thread::join_for(unsigned milliseconds) {
  if (!state_->started || state_->joined) return true;
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  state_->joined = pthread_timedjoin_np(state_->thread, nullptr, &deadline) == 0;
  return state_->joined;
}

SharedLibrary::SharedLibrary() = default;
SharedLibrary::~SharedLibrary() = default;

bool SharedLibrary::open(const std::string& path, std::string& error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* text = dlerror();
    const std::string reason = text != nullptr ? text : "cannot be loaded";
    // The loader's text usually names the file already.
    error = reason.find(path) != std::string::npos ? reason : path + ": " + reason;
    return false;
  }
  return true;
}

void* SharedLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

std::string executable_directory() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string directory(path, static_cast<std::size_t>(n));
  return directory.substr(0, directory.rfind('/') + 1);
}

const char* default_library_file_name() { return "libcalvix.so"; }

void end_process(int status) {
  std::fflush(stdout);
  _exit(status);
}

}  // namespace calvane::platform
