#include "server.h"

#include <atomic>
#include <memory>

#include "command_table.h"
#include "loaded_library.h"
#include "platform.h"
#include "reader.h"

namespace calvane {
namespace {

// How long shutdown waits for the reader thread to finish on its own once no
// chunk is being served. It normally has ended already (it asked for the
// close); when the close came from outside it may be blocked in a read, and
// the process then ends without it.
constexpr unsigned kReaderGraceMilliseconds = 250;
// How often shutdown looks whether the chunk being served is done.
constexpr unsigned kServingPollMilliseconds = 10;

class PlatformPorts final : public ReaderPorts {
 public:
  explicit PlatformPorts(platform::MainWait& main_wait) : main_wait_(main_wait) {}

  bool write(const char* bytes, std::size_t count) override { return platform::write_standard_output(bytes, count); }
  void copy_to_buffered_stream(const char* text) override { platform::write_buffered_output(text); }
  ReadStatus read(char* buffer, std::size_t capacity, std::size_t& count) override {
    const platform::ReadResult result = platform::read_standard_input(buffer, capacity);
    count = result.count;
    return result.kind == platform::ReadResult::Kind::Data ? ReadStatus::Data : ReadStatus::EndOfInput;
  }
  void pause() override { platform::sleep_milliseconds(kPauseMilliseconds); }
  void request_close() override { main_wait_.post_close_request(); }

 private:
  platform::MainWait& main_wait_;
};

// What the reader thread is handed.
struct ServerState {
  CalibrationLibrary* library = nullptr;
  PlatformPorts* ports = nullptr;
  ReaderControl control;
};

void reader_entry(void* argument) {
  auto& state = *static_cast<ServerState*>(argument);
  run_reader(*state.ports, *state.library, state.control);
}

int fail_startup(const std::string& text) {
  platform::report_failure(text);
  return kExitStartupFailure;
}

}  // namespace

int run_server(const std::string& library_path) {
  platform::prepare_process();
  platform::MainWait main_wait;
  std::string error;
  if (!main_wait.create(error)) return fail_startup(error);

  std::unique_ptr<CalibrationLibrary> library;
  try {
    library = load_calibration_library(library_path);
  } catch (const LibraryLoadError& failure) {
    return fail_startup(std::string("Cannot load the calibration library: ") + failure.what());
  }
  if (!library->initialize_runtime()) return fail_startup(kRuntimeInitFailed);
  if (!library->initialize()) return fail_startup(kLibraryInitFailed);
  try {
    // "[ready]" must follow the preload, so it runs here before the reader.
    library->cli(kPreloadAction, kPreloadModule);
  } catch (const std::exception& failure) {
    return fail_startup(std::string("Calibration suite preload failed: ") + failure.what());
  } catch (...) {
    return fail_startup(std::string("Calibration suite preload failed: ") + kUnknownFailure);
  }

  PlatformPorts ports(main_wait);
  ServerState state;
  state.library = library.get();
  state.ports = &ports;

  platform::Thread reader;
  if (!reader.start(reader_entry, &state)) {
    return fail_startup("Cannot start the reader thread.");
  }
  main_wait.wait_for_close_request();
  // Every close is the same: an "[exit]", the end of input, the host gone
  // or a termination signal all let the command being served finish.
  state.control.stop();
  while (state.control.serving()) platform::sleep_milliseconds(kServingPollMilliseconds);
  // Never return (and destroy what the reader uses) while it still runs.
  if (!reader.join_for(kReaderGraceMilliseconds)) platform::end_process(kExitSuccess);
  return kExitSuccess;
}

}  // namespace calvane
