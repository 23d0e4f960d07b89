#pragma once

#include <string>

// The engine's exported entry points as the helper calls them.
using EngineRunFunction = char* (*)(char* encoded_request);
using EngineStopFunction = void (*)();

struct EngineLibrary {
  void* handle = nullptr;
  EngineRunFunction run = nullptr;
  EngineStopFunction stop = nullptr;
};

enum class EngineLoadOutcome { kLoaded, kNotLoadable, kEntryPointMissing };

struct EngineStartResult {
  bool null_response = false;
  std::string response;  // decoded response text
  bool success = false;
};

// On kNotLoadable, loader_error holds the dlerror() text, or in
// secure-execution mode why the library is not trusted (library_trust.h). On
// kEntryPointMissing the library has already been closed again.
EngineLoadOutcome LoadEngineLibrary(const std::string& path, EngineLibrary* library,
                                    std::string* loader_error);
EngineStartResult StartEngine(const EngineLibrary& library, const std::string& encoded_request);
void StopEngine(const EngineLibrary& library);
void UnloadEngineLibrary(EngineLibrary* library);
