// Loading plugin libraries: the descriptor, refusals, and a full start and stop.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "korviad/kd_exception.h"
#include "korviad/kd_loader.h"
#include "test_support.h"

namespace {

using namespace testing_support;

std::string Fixture(const std::string& name) {
  return std::string(KORVIA_FIXTURE_DIR) + "/libfixture_" + name + ".so";
}

TEST(PluginLoader, DescriptorBytesReadBackThroughDlsym) {
  void* handle = dlopen(KORVIA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const void* abi = dlsym(handle, "kd_plugin_abi");
  ASSERT_NE(abi, nullptr);
  const uint8_t expected[32] = {0x42, 0x41, 0x50, 0x4b, 0x20, 0x00, 0x00, 0x00, 0x0f, 0x00, 0x00,
                                0x00, 0x09, 0x03, 0x23, 0x20, 0xef, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x28, 0x0c, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00};
  EXPECT_EQ(memcmp(abi, expected, sizeof(expected)), 0);
  EXPECT_NE(dlsym(handle, "kdPluginInit"), nullptr);
  dlclose(handle);
}

TEST(PluginLoader, RefusesForeignDescriptorsAndNullFactories) {
  struct Case {
    const char* fixture;
    const char* message;
  };
  const Case cases[] = {
      {"bad_magic", "bad descriptor magic"},
      {"bad_version", "built for host interface 14"},
      {"bad_size", "descriptor size 28"},
      {"null_factory", "factory returned no plugin"},
  };
  for (const Case& c : cases) {
    try {
      kdPluginLoader loader(Fixture(c.fixture), "t", {{"conf_filename", "/nonexistent"}});
      ADD_FAILURE() << c.fixture << " was accepted";
    } catch (const kdException& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(Fixture(c.fixture)), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(kdPluginLoader("/nonexistent/plugin.so", "t", {}), kdException);
}

TEST(PluginLoader, PluginConstructorErrorsReachTheHost) {
  // The exception crosses the library boundary and is caught by its host type.
  try {
    kdPluginLoader loader(KORVIA_PLUGIN_PATH, "agg", {{"conf_filename", ""}});
    FAIL() << "an empty conf_filename was accepted";
  } catch (const kdException& e) {
    EXPECT_EQ(std::string(e.what()), "agg: conf_filename: Invalid argument");
  }
}

TEST(PluginLoader, LoadsStartsAndStopsThePlugin) {
  TempDir dir;
  std::string conf = dir.Write("conf.json", R"({"aggregator": 2, "log_interval": 60})");
  LogCapture log;
  kdPluginLoader loader(KORVIA_PLUGIN_PATH, "agg", {{"conf_filename", conf}});
  kdPluginProcessor* plugin = loader.GetPlugin();
  ASSERT_NE(plugin, nullptr);
  std::string name, version, library;
  plugin->GetName(name);
  plugin->GetVersion(version);
  plugin->GetLibrary(library);
  EXPECT_EQ(name, "Korvia Flow Aggregator Processor Plugin");
  EXPECT_EQ(version, "1.2.8");
  EXPECT_EQ(library, "korvia-proc-aggregator");

  loader.Start();
  ASSERT_TRUE(WaitFor([&] { return log.Contains("agg: Using aggregator #2"); }));
  nlohmann::json status = nlohmann::json::object();
  plugin->GetStatus(status);
  EXPECT_EQ(status["aggregator"], 2);
  EXPECT_EQ(status["samples"], 0);
  loader.Stop();
  EXPECT_EQ(loader.GetPlugin(), nullptr);
  EXPECT_TRUE(log.Contains("agg: Korvia Flow Aggregator Processor Plugin v1.2.8"));
  EXPECT_TRUE(log.Contains("agg: destroyed"));
}

}  // namespace
