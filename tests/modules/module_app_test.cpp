// The module host inside the application: the configuration file at start-up, the greeting's
// module count, the status of a library that fails to load, module messages from the overlay, the
// main loop's tick, module views in the registry, and shutdown.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes/app_harness.h"
#include "module_paths.h"
#include "fakes/fake_pipe.h"
#include "host/app.h"
#include "platform/dynamic_library.h"
#include "protocol/commands.h"
#include "protocol/protocol.h"

namespace vyo::host {
namespace {

using StartedApp = testing::StartedAppHarness;

TEST_F(StartedApp, ConfiguredModulesAreCountedLoadedDrivenAndShutDown) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_module_app_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string good = modules::testing::TestModulePath("test_module_b");
  std::ofstream(dir / "modules.ini") << "[module]\npath=" << good << "\nconfig=view\nname=B\n"
                                     << "[module]\npath=" << (dir / "missing.so").string() << "\nname=Missing\n"
                                     << "[module]\npath=x.so\nenabled=off\n";
  HostOptions options;
  options.module_config_path = Utf8ToUtf16((dir / "modules.ini").string());
  Start(options);

  const auto hello = Sent(kHostHello);
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_EQ(DecodeHostHello(hello[0].second)->module_count, 2u);  // the two enabled sections
  EXPECT_TRUE(Logged("Module config result=0, entries=2"));
  const auto statuses = Sent(kModuleStatus);
  ASSERT_EQ(statuses.size(), 2u);
  const ModuleStatusMsg loaded = *DecodeModuleStatus(statuses[0].second);
  EXPECT_EQ(loaded.module_id, 1u);
  EXPECT_EQ(loaded.status, 0u);
  EXPECT_EQ(loaded.text, "B");
  const ModuleStatusMsg missing = *DecodeModuleStatus(statuses[1].second);
  EXPECT_EQ(missing.module_id, 2u);
  EXPECT_EQ(missing.status, 1u);  // bad path, with the system's reason
  EXPECT_EQ(missing.value, 2);
  EXPECT_EQ(missing.text, "Missing");

  // The module's view is in the registry with its owner, and the overlay was told.
  const auto created = Sent(kViewCreated);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(DecodeViewCreated(created[0].second)->view_id, 0x40000000u);
  EXPECT_EQ(DecodeViewCreated(created[0].second)->owner_module, 1u);
  EXPECT_EQ(View(0x40000000).module.owner_module, 1u);
  EXPECT_TRUE(app->module_host()->IsModuleView(0x40000000));

  // A module message from the overlay reaches the module; it destroys its view in answer.
  testing::PushFrame(*pipe, kModuleMessage, EncodeCommand(ModuleMessageCmd{1, "destroy"}));
  pipe->CloseIncoming();
  app->RunMainLoop();
  const auto destroyed = Sent(kViewDestroyed);
  ASSERT_EQ(destroyed.size(), 1u);
  EXPECT_EQ(DecodeViewDestroyed(destroyed[0].second)->view_id, 0x40000000u);
  EXPECT_EQ(DecodeViewDestroyed(destroyed[0].second)->owner_module, 1u);
  EXPECT_FALSE(app->module_host()->IsModuleView(0x40000000));

  app->Shutdown();
  std::filesystem::remove_all(dir);
}

TEST_F(StartedApp, AConfigurationWithoutModulesIsReported) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_module_app_empty_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "modules.ini") << "[module]\nname=no path\n";
  HostOptions options;
  options.module_config_path = Utf8ToUtf16((dir / "modules.ini").string());
  Start(options);
  EXPECT_EQ(DecodeHostHello(Sent(kHostHello)[0].second)->module_count, 0u);
  const auto statuses = Sent(kModuleStatus);
  ASSERT_EQ(statuses.size(), 1u);
  const ModuleStatusMsg report = *DecodeModuleStatus(statuses[0].second);
  EXPECT_EQ(report.module_id, 0u);
  EXPECT_EQ(report.status, 10u);
  EXPECT_EQ(report.value, 3);
  app->Shutdown();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vyo::host
