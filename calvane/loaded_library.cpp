#include "loaded_library.h"

#include "calvix_abi.h"
#include "platform.h"

namespace calvane {
namespace {

// Texts for failures the library reports without a reason of its own.
constexpr char kUnspecifiedError[] = "Unspecified error";
constexpr char kCallFailedWithoutReason[] = "CalvixCli failed without giving a reason";

struct EntryPoints {
  CalvixRuntimeInitializeFn runtime_initialize = nullptr;
  CalvixDllInitializeFn initialize = nullptr;
  CalvixStringCreateFn string_create = nullptr;
  CalvixStringReleaseFn string_release = nullptr;
  CalvixCliFn cli = nullptr;
  CalvixLastErrorFn last_error = nullptr;
};

template <typename Function>
void resolve(const platform::SharedLibrary& library, const std::string& path, const char* name, Function& function) {
  function = reinterpret_cast<Function>(library.symbol(name));
  if (function == nullptr) {
    throw LibraryLoadError(path + ": expected the entry point " + name + ", found none");
  }
}

// A character array that lives for exactly one call.
class CallString {
 public:
  CallString(const EntryPoints& entry, const char* text) : entry_(entry) {
    array_ = entry_.string_create(text);
    if (array_ == nullptr) {
      const char* reason = entry_.last_error();
      throw LibraryError(reason != nullptr && *reason != '\0' ? reason : kUnspecifiedError);
    }
  }
  ~CallString() { entry_.string_release(array_); }
  CallString(const CallString&) = delete;
  CallString& operator=(const CallString&) = delete;

  const CalvixString* get() const { return array_; }

 private:
  const EntryPoints& entry_;
  CalvixString* array_ = nullptr;
};

class LoadedLibrary final : public CalibrationLibrary {
 public:
  explicit LoadedLibrary(const std::string& path) {
    std::string error;
    if (!library_.open(path, error)) throw LibraryLoadError(error);
    resolve(library_, path, CALVIX_RUNTIME_INITIALIZE, entry_.runtime_initialize);
    resolve(library_, path, CALVIX_DLL_INITIALIZE, entry_.initialize);
    resolve(library_, path, CALVIX_STRING_CREATE, entry_.string_create);
    resolve(library_, path, CALVIX_STRING_RELEASE, entry_.string_release);
    resolve(library_, path, CALVIX_CLI, entry_.cli);
    resolve(library_, path, CALVIX_LAST_ERROR, entry_.last_error);
  }

  bool initialize_runtime() override { return entry_.runtime_initialize(nullptr, 0) != 0; }

  bool initialize() override { return entry_.initialize() != 0; }

  void cli(const char* action, const char* module) override {
    const CallString action_array(entry_, action);
    const CallString module_array(entry_, module);
    if (entry_.cli(action_array.get(), module_array.get()) != 0) {
      const char* reason = entry_.last_error();
      throw LibraryError(reason != nullptr && *reason != '\0' ? reason : kCallFailedWithoutReason);
    }
  }

 private:
  platform::SharedLibrary library_;
  EntryPoints entry_;
};

}  // namespace

std::string library_path(const char* variable_value, const std::string& executable_directory) {
  if (variable_value != nullptr && *variable_value != '\0') return variable_value;
  return executable_directory + platform::default_library_file_name();
}

std::unique_ptr<CalibrationLibrary> load_calibration_library(const std::string& path) {
  return std::make_unique<LoadedLibrary>(path);
}

}  // namespace calvane
