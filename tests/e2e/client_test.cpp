// The single client slot seen from clients: a client that left, a second client.
#include <gmock/gmock.h>

#include "tests/e2e/e2e_fixture.h"

namespace hdgrab::test {
namespace {

using ::testing::HasSubstr;

class ClientSlot : public ServiceTest {};

TEST_F(ClientSlot, AClientThatWentAwayFailsTheSendAndTheServiceGoesOn) {
    start();
    {
        Client gone;
        connect(gone);
        gone.close();
    }
    hdmi({"res", "1280", "720", "50"});
    ASSERT_TRUE(wait_count("Failed to send resolution change message", 1)) << app.output();
    EXPECT_THAT(app.output(), HasSubstr("Failed to send message: "));
    EXPECT_THAT(app.output(), HasSubstr("| message: " + res_change_text(1280, 720, 50)));

    // The pipeline stays at the new geometry and the next client is served.
    Client next;
    connect(next);
    hdmi({"res", "1920", "1080", "60"});
    const auto message = next.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1920, 1080, 60));
    EXPECT_TRUE(app.running());
}

TEST_F(ClientSlot, ASecondClientTakesTheSlot) {
    start();
    Client first;
    connect(first);
    Client second;
    connect(second);

    hdmi({"res", "1280", "720", "50"});
    const auto message = second.read_message(kEventWait);
    ASSERT_TRUE(message) << app.output();
    EXPECT_EQ(*message, res_change_text(1280, 720, 50));
    // The displaced connection gets nothing more; the service has closed it.
    EXPECT_TRUE(first.wait_closed(kEventWait));
    EXPECT_FALSE(first.read_message(300ms));
}

}  // namespace
}  // namespace hdgrab::test
