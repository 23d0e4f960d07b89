#include "lifecycle/engine_library.h"

#include <dlfcn.h>

#include "lifecycle/engine_request.h"
#include "lifecycle/library_trust.h"
#include "lifecycle/secure_execution.h"

EngineLoadOutcome LoadEngineLibrary(const std::string& path, EngineLibrary* library,
                                    std::string* loader_error) {
  // Under the file capability the caller names the library: only one that
  // root alone could have put there is loaded, by its resolved path.
  std::string load_path = path;
  if (IsSecureExecution() && !CheckLibraryTrusted(path, &load_path, loader_error)) {
    return EngineLoadOutcome::kNotLoadable;
  }
  // RTLD_NOW: an engine with unresolved symbols fails here, not mid-run.
  void* handle = dlopen(load_path.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    const char* message = dlerror();
    *loader_error = message != nullptr ? message : "";
    return EngineLoadOutcome::kNotLoadable;
  }
  void* run = dlsym(handle, "CGoRunXray");
  void* stop = dlsym(handle, "CGoStopXray");
  if (run == nullptr || stop == nullptr) {
    dlclose(handle);
    return EngineLoadOutcome::kEntryPointMissing;
  }
  library->handle = handle;
  library->run = reinterpret_cast<EngineRunFunction>(run);
  library->stop = reinterpret_cast<EngineStopFunction>(stop);
  return EngineLoadOutcome::kLoaded;
}

EngineStartResult StartEngine(const EngineLibrary& library, const std::string& encoded_request) {
  EngineStartResult result;
  std::string request = encoded_request;  // the engine takes a non-const pointer
  // The response buffer belongs to the engine: copy it, never free it.
  const char* response = library.run(request.data());
  if (response == nullptr) {
    result.null_response = true;
    return result;
  }
  result.response = Base64Decode(response);
  result.success = ContainsSuccess(result.response);
  return result;
}

void StopEngine(const EngineLibrary& library) { library.stop(); }

void UnloadEngineLibrary(EngineLibrary* library) {
  if (library->handle != nullptr) dlclose(library->handle);
  *library = EngineLibrary{};
}
