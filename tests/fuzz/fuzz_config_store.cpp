// libFuzzer target: ConfigStore on arbitrary file bytes with an arbitrary dotted key and value.
//
// Input layout (FuzzedDataProvider): the key and the value as two backslash-terminated strings
// ("log.level\ debug\ "), then the file's bytes to the end. One run writes the file, loads it,
// reads the key, sets it and checks:
//   - nothing crashes, leaks or reads out of bounds (the sanitizers);
//   - a refused set leaves the file byte for byte and the value read before;
//   - a successful set reads back the value at once and after a fresh load, the file re-parses,
//     and it holds exactly the original document with that one key set;
//   - no temporary file is left in the directory;
//   - a set on a loadable document with a plain key and value along a path of tables succeeds.

#include <fuzzer/FuzzedDataProvider.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/config_store.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kMaxKeyBytes = 256;
constexpr std::size_t kMaxValueBytes = 1024;

std::string file_path() {
    static const std::string path = (hdgrab::fuzz::scratch_dir() / "hdgrab.toml").string();
    return path;
}

// The document parsed independently of the store, when it is one the store accepts.
std::optional<toml::table> parse_reference(const std::string& text) {
    if (text.size() > kMaxConfigFileBytes) {
        return std::nullopt;
    }
    try {
        return toml::parse(text);
    } catch (...) {
        return std::nullopt;
    }
}

std::string to_text(const toml::table& table) {
    std::ostringstream out;
    out << table;
    return out.str();
}

// Printable ASCII without quotes or backslashes: any TOML writer handles such a key or value.
bool is_plain(const std::string& text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7e || c == '\'' || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

// Sets the key in `document` the documented way; false when a node on the way is not a table.
bool reference_set(toml::table& document, const std::vector<std::string>& segments,
                   const std::string& value) {
    toml::table* table = &document;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        auto it = table->find(segments[i]);
        if (it == table->end()) {
            it = table->insert(segments[i], toml::table{}).first;
        }
        table = it->second.as_table();
        if (table == nullptr) {
            return false;
        }
    }
    table->insert_or_assign(segments.back(), value);
    return true;
}

// Nesting depth of a document that fits kMaxConfigFileBytes, so recursing is safe here.
std::size_t depth_of(const toml::node& node) {
    std::size_t deepest = 0;
    if (const auto* table = node.as_table()) {
        for (const auto& entry : *table) {
            deepest = std::max(deepest, 1 + depth_of(entry.second));
        }
    } else if (const auto* array = node.as_array()) {
        for (const auto& element : *array) {
            deepest = std::max(deepest, 1 + depth_of(element));
        }
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string key = provider.ConsumeRandomLengthString(kMaxKeyBytes);
    const std::string value = provider.ConsumeRandomLengthString(kMaxValueBytes);
    const std::string original = provider.ConsumeRemainingBytesAsString();
    const std::string path = file_path();

    hdgrab::fuzz::write_file(path, original);
    ConfigStore::load(path);
    const std::optional<std::string> before = ConfigStore::get_string(key);

    std::optional<toml::table> reference = parse_reference(original);
    if (reference && depth_of(*reference) > kMaxConfigDepth) {
        reference.reset();
    }
    if (!reference) {
        FUZZ_CHECK(!before.has_value(), "a document the store refuses yields no value");
    }

    const bool written = ConfigStore::set_string(key, value);
    const std::string after_text = hdgrab::fuzz::read_file(path);
    FUZZ_CHECK(hdgrab::fuzz::entry_count(hdgrab::fuzz::scratch_dir()) == 1,
               "no temporary file is left behind");

    if (!written) {
        FUZZ_CHECK(after_text == original, "a refused set leaves the file as it was");
        FUZZ_CHECK(ConfigStore::get_string(key) == before, "a refused set keeps the value");
        if (reference) {
            const auto segments = split_config_key(key);
            toml::table expected = *reference;
            if (is_plain(key) && is_plain(value) && !segments.empty() &&
                segments.size() <= kMaxConfigDepth && reference_set(expected, segments, value)) {
                // Only a document whose rewrite loads back as itself may be written.
                const std::string expected_text = to_text(expected);
                const auto reparsed = parse_reference(expected_text);
                const bool writable = reparsed.has_value() &&
                                      depth_of(expected) <= kMaxConfigDepth &&
                                      to_text(*reparsed) == expected_text;
                FUZZ_CHECK(!writable, "a plain set on a loadable document succeeds");
            }
        }
        return 0;
    }

    FUZZ_CHECK(reference.has_value(), "only a loaded document can be written");
    FUZZ_CHECK(ConfigStore::get_string(key) == value, "set then get returns the value");

    const auto reparsed = parse_reference(after_text);
    FUZZ_CHECK(reparsed.has_value(), "the written file parses again");
    FUZZ_CHECK(depth_of(*reparsed) <= kMaxConfigDepth, "the written file is not too deep");
    FUZZ_CHECK(to_text(*reparsed) == after_text, "the written file is in the library's format");

    toml::table expected = *reference;
    FUZZ_CHECK(reference_set(expected, split_config_key(key), value), "the key path is valid");
    FUZZ_CHECK(to_text(expected) == after_text, "the file holds the document with the key set");

    ConfigStore::load(path);
    FUZZ_CHECK(ConfigStore::get_string(key) == value, "the value survives a fresh load");
    return 0;
}
