// Test-only driver: one process that loads an engine library the way the
// helper does and runs and stops it on command, so a namespace test can
// stop one configuration and run another in the same process, with no
// helper around it.
//
//   engine_driver LIBRARY
//
// It prints "ready" once the library is loaded, then reads one command per
// line from standard input and answers each with one line:
//
//   run CONFIG   the engine's decoded answer ("null" for a NULL answer)
//   stop         "stopped" once CGoStopXray has returned
//
// At the end of input it unloads the library and exits 0.

#include <iostream>
#include <string>

#include "lifecycle/engine_library.h"
#include "lifecycle/engine_request.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: engine_driver LIBRARY\n";
    return 2;
  }
  EngineLibrary engine;
  std::string error;
  if (LoadEngineLibrary(argv[1], &engine, &error) != EngineLoadOutcome::kLoaded) {
    std::cerr << "engine_driver: cannot load " << argv[1] << ": " << error << "\n";
    return 1;
  }
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("run ", 0) == 0) {
      const EngineStartResult result =
          StartEngine(engine, Base64Encode(BuildEngineRequest("", line.substr(4))));
      std::cout << (result.null_response ? "null" : result.response) << std::endl;
    } else if (line == "stop") {
      StopEngine(engine);
      std::cout << "stopped" << std::endl;
    } else {
      std::cout << "unknown command" << std::endl;
    }
  }
  UnloadEngineLibrary(&engine);
  return 0;
}
