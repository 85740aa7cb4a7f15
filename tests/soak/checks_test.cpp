// The soak runner's own judgement: which notification sequences count as correct and in order,
// and when the service's descriptors and memory count as flat.
#include <gtest/gtest.h>

#include "tests/soak/checks.h"

namespace hdgrab::soak {
namespace {

const test::Geometry kA{1280, 720, 50};
const test::Geometry kB{3840, 2160, 30};
const test::Geometry kC{1024, 768, 60};

TEST(NotificationChecker, AcceptsEveryAnnouncementInOrder) {
    NotificationChecker checker;
    std::string why;
    for (const auto& geometry : {kA, kB, kA, kC}) {
        checker.announced(geometry);
        EXPECT_TRUE(checker.received(res_change_text(geometry), why)) << why;
    }
    EXPECT_EQ(checker.checked(), 4U);
    EXPECT_EQ(checker.skipped(), 0U);
    EXPECT_EQ(res_change_text({1920, 1080, 60}),
              R"({"fps":60,"height":1080,"type":"res_change","width":1920})");
}

TEST(NotificationChecker, AcceptsMissedMessagesOfADisplacedClient) {
    NotificationChecker checker;
    std::string why;
    checker.announced(kA);
    checker.announced(kB);
    checker.announced(kC);
    // The first client got A and left; the next one connected after B was sent.
    EXPECT_TRUE(checker.received(res_change_text(kA), why)) << why;
    EXPECT_TRUE(checker.received(res_change_text(kC), why)) << why;
    EXPECT_EQ(checker.skipped(), 1U);
}

TEST(NotificationChecker, RejectsRepeatedStaleAndInventedMessages) {
    std::string why;
    {
        NotificationChecker checker;
        checker.announced(kA);
        checker.announced(kB);
        ASSERT_TRUE(checker.received(res_change_text(kA), why));
        EXPECT_FALSE(checker.received(res_change_text(kA), why)) << "a repeat";
        EXPECT_NE(why.find("repeats"), std::string::npos) << why;
    }
    {
        NotificationChecker checker;
        checker.announced(kA);
        checker.announced(kB);
        ASSERT_TRUE(checker.received(res_change_text(kB), why));
        EXPECT_FALSE(checker.received(res_change_text(kA), why)) << "older than one seen";
    }
    {
        NotificationChecker checker;
        checker.announced(kA);
        EXPECT_FALSE(checker.received(res_change_text(kC), why)) << "never announced";
        EXPECT_NE(why.find("never announced"), std::string::npos) << why;
        EXPECT_FALSE(
            checker.received(R"({"fps":50,"height":720,"type":"res_change","width":1280)", why))
            << "cut short";
        EXPECT_FALSE(
            checker.received(R"({"fps":50, "height":720,"type":"res_change","width":1280})", why))
            << "not compact";
    }
}

harness::ProcessSample reading(size_t descriptors, uint64_t rss_kib) {
    harness::ProcessSample sample;
    sample.descriptors = descriptors;
    sample.rss_kib = rss_kib;
    return sample;
}

TEST(ResourceTrack, FlatWithinTheSlackOnly) {
    std::string why;
    ResourceTrack flat;
    flat.add(reading(12, 5800));
    flat.add(reading(13, 6000));
    flat.add(reading(12, 5900));
    EXPECT_TRUE(flat.flat(1, 1024, why)) << why;
    EXPECT_FALSE(flat.flat(0, 1024, why)) << "a descriptor above the first without slack";
    EXPECT_EQ(flat.max_descriptors(), 13U);
    EXPECT_EQ(flat.max_rss_kib(), 6000U);
    EXPECT_EQ(flat.summary(), "fd 12/12/13, VmRSS 5800/5900/6000 KiB (anon 0/0/0), 3 readings");

    ResourceTrack leaking;
    leaking.add(reading(12, 5800));
    leaking.add(reading(13, 5800));
    EXPECT_FALSE(leaking.flat(1, 1024, why)) << "one descriptor more at the end";
    ResourceTrack growing;
    growing.add(reading(12, 5800));
    growing.add(reading(12, 7000));
    EXPECT_FALSE(growing.flat(0, 1024, why));
    EXPECT_NE(why.find("grew by 1200 KiB"), std::string::npos) << why;
    ResourceTrack single;
    single.add(reading(12, 5800));
    EXPECT_FALSE(single.flat(0, 1024, why)) << "one reading proves nothing";
}

}  // namespace
}  // namespace hdgrab::soak
