// The stream splitter that separates the service's back-to-back JSON messages.
#include "tools/watch/json_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hdgrab::watch {
namespace {

const std::string kFirst = R"({"fps":60,"height":1080,"type":"res_change","width":1920})";
const std::string kSecond = R"({"fps":50,"height":720,"type":"res_change","width":1280})";

std::vector<std::string> take_all(JsonObjectSplitter& splitter) {
    std::vector<std::string> texts;
    while (auto text = splitter.next()) {
        texts.push_back(*text);
    }
    return texts;
}

TEST(JsonObjectSplitter, SeparatesMessagesSentBackToBackInOneRead) {
    JsonObjectSplitter splitter;
    splitter.feed(kFirst + kSecond + kFirst);
    EXPECT_EQ(take_all(splitter), (std::vector<std::string>{kFirst, kSecond, kFirst}));
    EXPECT_FALSE(splitter.in_object());
    EXPECT_EQ(splitter.take_skipped_bytes(), 0u);
}

TEST(JsonObjectSplitter, JoinsMessagesSplitAcrossReadsAtEveryPosition) {
    const std::string stream = kFirst + kSecond;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        JsonObjectSplitter splitter;
        splitter.feed(stream.substr(0, cut));
        auto texts = take_all(splitter);
        splitter.feed(stream.substr(cut));
        const auto rest = take_all(splitter);
        texts.insert(texts.end(), rest.begin(), rest.end());
        EXPECT_EQ(texts, (std::vector<std::string>{kFirst, kSecond})) << "cut at " << cut;
    }

    JsonObjectSplitter byte_by_byte;
    std::vector<std::string> texts;
    for (const char c : stream) {
        byte_by_byte.feed(std::string_view(&c, 1));
        const auto ready = take_all(byte_by_byte);
        texts.insert(texts.end(), ready.begin(), ready.end());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{kFirst, kSecond}));
}

TEST(JsonObjectSplitter, BracketsAndEscapesInsideStringsDoNotEndAnObject) {
    const std::string tricky = R"({"a":"}{","b":"\"}","c":"\\","d":[{"e":"]"}],"f":{}})";
    JsonObjectSplitter splitter;
    splitter.feed(tricky + kFirst);
    EXPECT_EQ(take_all(splitter), (std::vector<std::string>{tricky, kFirst}));
}

TEST(JsonObjectSplitter, SkipsAndCountsBytesBetweenMessages) {
    JsonObjectSplitter splitter;
    splitter.feed(" \n\t\r" + kFirst + "\n");
    EXPECT_EQ(take_all(splitter), std::vector<std::string>{kFirst});
    EXPECT_EQ(splitter.take_skipped_bytes(), 0u) << "white space is not noise";

    splitter.feed("garbage]}\"" + kSecond + std::string(1, '\0'));
    EXPECT_EQ(take_all(splitter), std::vector<std::string>{kSecond});
    EXPECT_EQ(splitter.take_skipped_bytes(), 11u);
    EXPECT_EQ(splitter.take_skipped_bytes(), 0u) << "the count restarts after it was taken";
}

TEST(JsonObjectSplitter, DropsAnOversizedObjectAndStaysInStep) {
    JsonObjectSplitter splitter(32);
    const std::string big = R"({"pad":")" + std::string(100, 'x') + R"(","n":{"m":1}})";
    splitter.feed(big.substr(0, 50));
    splitter.feed(big.substr(50) + kFirst);
    EXPECT_EQ(take_all(splitter), std::vector<std::string>{}) << "kFirst is longer than 32";
    EXPECT_EQ(splitter.take_dropped_objects(), 2u);

    splitter.feed(R"({"short":1})");
    EXPECT_EQ(take_all(splitter), std::vector<std::string>{R"({"short":1})"});
    EXPECT_EQ(splitter.take_dropped_objects(), 0u);
}

TEST(JsonObjectSplitter, ResetForgetsAPartialMessage) {
    JsonObjectSplitter splitter;
    splitter.feed(R"({"type":"res_ch)");
    EXPECT_TRUE(splitter.in_object());
    splitter.reset();
    EXPECT_FALSE(splitter.in_object());
    splitter.feed(kSecond);
    EXPECT_EQ(take_all(splitter), std::vector<std::string>{kSecond});
}

}  // namespace
}  // namespace hdgrab::watch
