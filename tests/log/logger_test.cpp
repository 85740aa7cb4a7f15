#include "log/logger.h"

#include <gtest/gtest.h>

TEST(LevelVocabulary, ExactNamesAndAliases) {
    EXPECT_EQ(normalize_level("warn"), "warning");
    EXPECT_EQ(normalize_level("err"), "error");
    EXPECT_EQ(normalize_level("debug"), "debug");
    EXPECT_EQ(normalize_level("DEBUG"), "off");
    EXPECT_EQ(normalize_level(""), "off");
}

TEST(DefaultLogger2, UnconfiguredHasNoLogger) {
    DefaultLogger2 logger("x");
    EXPECT_EQ(logger.get_logger(), nullptr);
}

TEST(DefaultLogger2, UnsupportedTypeKeepsPreviousLogger) {
    DefaultLogger2 logger("x");
    logger.configure("info", "console", "");
    auto before = logger.get_logger();
    try {
        logger.configure("info", "Console", "");
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unsupported sink type or missing file path: Console");
    }
    EXPECT_EQ(logger.get_logger(), before);
}
