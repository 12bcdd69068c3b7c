// A Studio opened while camera access is denied puts a camera on air, without
// being reopened, once access is granted: the change of the camera node's mode
// is the activation that makes it look again.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "Eventually.h"
#include "Quarzadel/App/ActivationSignals.h"
#include "studio_device_fixture.h"

namespace quarzadel {
namespace {

struct ActivationStudio : testing::DeviceStudioFixture {
  std::filesystem::path devDir;
  std::shared_ptr<AppActivation> activation;

  void configure(StudioEngine::Environment& env) override {
    DeviceStudioFixture::configure(env);
    // Access as the node's mode gives it to other users: the tests run as
    // root, who may open any node, so the node's mode stands for what we may do.
    env.access = [this](platform::MediaType type) {
      if (type == platform::MediaType::audio) return StudioEngine::Permission::granted;
      struct stat st {};
      const bool open = ::stat((devDir / "video0").c_str(), &st) == 0 && (st.st_mode & S_IROTH) && (st.st_mode & S_IWOTH);
      return open ? StudioEngine::Permission::granted : StudioEngine::Permission::denied;
    };
    env.activation = activation;
  }
};

TEST_F(ActivationStudio, CameraAccessGrantedWhileOpenPutsTheCameraOnAir) {
  devDir = folder / "dev";
  std::filesystem::create_directories(devDir);
  std::ofstream(devDir / "video0").put('\0');
  ASSERT_EQ(::chmod((devDir / "video0").c_str(), 0600), 0);
  activation = AppActivation::make(runtime);
  auto signals = ActivationSignals::start(activation, {devDir.string(), false, {}});
  ASSERT_TRUE(signals->watchesDevices());

  plugCameras({"cam-usb"});
  startEngine();
  const auto opened = engine;
  EXPECT_EQ(engine->cameraPermission().value(), StudioEngine::Permission::denied);
  EXPECT_TRUE(engine->cameras().value().empty());
  EXPECT_FALSE(onAirCamera());

  const auto pump = [&] {
    runtime->runUntilIdle();
    advance(0.05);
  };
  ASSERT_EQ(::chmod((devDir / "video0").c_str(), 0666), 0);
  ASSERT_TRUE(qztest::eventually([&] { return pump(), onAirCamera() == "cam-usb"; }))
      << "no activation after the node's mode changed";
  EXPECT_EQ(engine, opened);
  EXPECT_EQ(engine->cameraPermission().value(), StudioEngine::Permission::granted);
  EXPECT_EQ(engine->cameras().value().size(), 1u);
}

}  // namespace
}  // namespace quarzadel
