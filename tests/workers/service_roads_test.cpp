// main's helpers: the media module wait, the dump file name, the service objects.
#include "app/service_roads.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <ctime>

#include "bridge/lt6911_util.h"
#include "media/axera_util.h"
#include "tests/workers/workers_fixture.h"

namespace hdgrab::test {
namespace {

using namespace std::chrono_literals;

class ServiceRoads : public WorkersTest {};

TEST_F(ServiceRoads, MediaModuleFoundAtTheFirstCheckWithoutWaiting) {
    // Were the check followed by a sleep, this would take minutes.
    EXPECT_TRUE(wait_media_module(dir.string(), 20, std::chrono::minutes(1)));
}

TEST_F(ServiceRoads, MediaModuleMissingGivesUpAfterEveryCheck) {
    EXPECT_FALSE(wait_media_module((dir / "ax_avs").string(), 3, 1ms));
}

TEST_F(ServiceRoads, DumpFileNameCarriesLocalTimeAndGeometry) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(dump_file_name("/root", 0, 1920, 1080),
              "/root/vin_19700101_000000_1920x1080.yuyv422");
    EXPECT_EQ(dump_file_name("/root", 1700000000, 1366, 768),
              "/root/vin_20231114_221320_1366x768.yuyv422");
    ::setenv("TZ", "CET-1", 1);
    ::tzset();
    EXPECT_EQ(dump_file_name("/tmp/x", 0, 640, 480), "/tmp/x/vin_19700101_010000_640x480.yuyv422");
}

TEST_F(ServiceRoads, ServiceObjectsTakeTheProbedGeometryAndTheBridgeDirectory) {
    data->width = 1280;
    data->height = 720;
    data->fps = 50;
    create_service_objects(*data, LogSettings{"debug", "console", "/tmp/unused.log"},
                           bridge_dir.string());
    ASSERT_TRUE(global_axera_util);
    EXPECT_EQ(global_axera_util->geometry().width, 1280);
    EXPECT_EQ(global_axera_util->geometry().height, 720);
    EXPECT_EQ(global_axera_util->geometry().fps, 50);
    ASSERT_TRUE(global_lt6911_util);
    EXPECT_EQ(global_lt6911_util->get_base_dir(), bridge_dir.string());
    EXPECT_EQ(global_lt6911_util->get_logger()->name(), "AxeraUtil");
    EXPECT_EQ(global_axera_util->get_logger()->name(), "AxeraUtil");
}

}  // namespace
}  // namespace hdgrab::test
