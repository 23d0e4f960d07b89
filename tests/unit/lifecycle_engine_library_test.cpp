// Loads the stand-in engine (tools/test_engine) the way the run mode does.
// Only its null, failure and literal answers are used here: they create no
// device, so nothing touches the host.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lifecycle/engine_library.h"
#include "lifecycle/engine_request.h"

namespace {

bool IsLoaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

class EngineResponse : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("LVH_ENGINE_RESPONSE"); }

  EngineStartResult StartWithAnswer(const std::string& answer) {
    setenv("LVH_ENGINE_RESPONSE", answer.c_str(), 1);
    EngineLibrary engine;
    std::string error;
    EXPECT_EQ(EngineLoadOutcome::kLoaded, LoadEngineLibrary(LVH_TEST_ENGINE, &engine, &error));
    const EngineStartResult result =
        StartEngine(engine, Base64Encode(BuildEngineRequest("", "/nonexistent.json")));
    UnloadEngineLibrary(&engine);
    return result;
  }
};

TEST(LoadEngineLibrary, ReportsTheLoaderErrorForAMissingFile) {
  EngineLibrary engine;
  std::string error;
  EXPECT_EQ(EngineLoadOutcome::kNotLoadable,
            LoadEngineLibrary("/nonexistent/libXray.so", &engine, &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/libXray.so")) << error;
  EXPECT_EQ(nullptr, engine.handle);
}

TEST(LoadEngineLibrary, ReportsTheLoaderErrorForAFileThatIsNoLibrary) {
  EngineLibrary engine;
  std::string error;
  EXPECT_EQ(EngineLoadOutcome::kNotLoadable, LoadEngineLibrary("/etc/hostname", &engine, &error));
  EXPECT_FALSE(error.empty());
}

TEST(LoadEngineLibrary, UnloadsALibraryWithoutTheStopEntryPoint) {
  ASSERT_FALSE(IsLoaded(LVH_TEST_ENGINE_NOSTOP));
  EngineLibrary engine;
  std::string error;
  EXPECT_EQ(EngineLoadOutcome::kEntryPointMissing,
            LoadEngineLibrary(LVH_TEST_ENGINE_NOSTOP, &engine, &error));
  EXPECT_FALSE(IsLoaded(LVH_TEST_ENGINE_NOSTOP));
  EXPECT_EQ(nullptr, engine.handle);
}

TEST(LoadEngineLibrary, FindsBothEntryPointsAndUnloadsAgain) {
  EngineLibrary engine;
  std::string error;
  ASSERT_EQ(EngineLoadOutcome::kLoaded, LoadEngineLibrary(LVH_TEST_ENGINE, &engine, &error));
  EXPECT_NE(nullptr, engine.handle);
  EXPECT_NE(nullptr, engine.run);
  EXPECT_NE(nullptr, engine.stop);
  EXPECT_TRUE(IsLoaded(LVH_TEST_ENGINE));
  UnloadEngineLibrary(&engine);
  EXPECT_FALSE(IsLoaded(LVH_TEST_ENGINE));
  EXPECT_EQ(nullptr, engine.handle);
}

TEST_F(EngineResponse, NullAnswerIsItsOwnOutcome) {
  const EngineStartResult result = StartWithAnswer("null");
  EXPECT_TRUE(result.null_response);
  EXPECT_FALSE(result.success);
}

TEST_F(EngineResponse, FailureAnswerIsDecodedWhole) {
  const EngineStartResult result = StartWithAnswer("failure");
  EXPECT_FALSE(result.null_response);
  EXPECT_FALSE(result.success);
  EXPECT_EQ("{\"success\":false,\"error\":\"engine refused the configuration\"}", result.response);
}

TEST_F(EngineResponse, SuccessIsJudgedOnTheDecodedText) {
  EXPECT_TRUE(StartWithAnswer("text:{\"success\": true}").success);
  EXPECT_TRUE(StartWithAnswer("text:{\"inner\":{\"success\":true}}").success);
  EXPECT_FALSE(StartWithAnswer("text:{\"success\" : true}").success);
  const EngineStartResult empty = StartWithAnswer("text:");
  EXPECT_FALSE(empty.null_response);
  EXPECT_FALSE(empty.success);
  EXPECT_EQ("", empty.response);
}

TEST_F(EngineResponse, AConfigurationWithoutTunInboundIsRefused) {
  // The stand-in engine itself refuses; this shows the helper's request
  // reached it with a config path it could read back.
  const EngineStartResult result = StartWithAnswer("");
  EXPECT_FALSE(result.success);
  EXPECT_EQ("{\"success\":false,\"error\":\"no tun inbound in /nonexistent.json\"}", result.response);
}

}  // namespace
