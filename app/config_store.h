// Process-wide store of the TOML configuration file: dotted-key look-up and atomic rewrite.
#pragma once

#include <any>
#include <cstddef>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

// Largest configuration file the store reads. The file holds a handful of settings; the bound
// keeps a huge file from costing memory and time, and keeps the parser, whose recursion goes one
// level deeper for every nested table, far from the end of the stack.
inline constexpr std::size_t kMaxConfigFileBytes = 16 * 1024;
// Deepest nesting of tables and arrays accepted below the root table ("[log]" with its keys is
// 2). Writing, copying and destroying a document recurse once per level as well.
inline constexpr std::size_t kMaxConfigDepth = 64;

// Splits a dotted key into its segments: every "." ends a segment, empty segments between dots
// are kept, and a trailing dot adds nothing ("a..b" -> a, "", b; "a." -> a).
std::vector<std::string> split_config_key(const std::string& key);

// All operations are static and take the store's reader-writer lock. The root is either empty
// or holds a parsed TOML table; it is kept type-erased and checked to hold a table before each
// use.
class ConfigStore {
  public:
    ConfigStore() = delete;

    // Remembers `path` and makes the parsed file the root. A missing, unreadable or invalid file
    // leaves the root empty; nothing is reported. A file beyond kMaxConfigFileBytes or
    // kMaxConfigDepth leaves the root empty too and is reported on standard error.
    static void load(const std::string& path);

    // For a reload of the running service: parses the file at `path` and, when it is a document
    // load() would take, makes it the root (and `path` the remembered path) and returns true.
    // Otherwise returns false with `reason` saying why (cannot be read, too large, too deep, not
    // valid TOML and where), and the root stays as it was.
    static bool reload(const std::string& path, std::string& reason);

    // True when something, of any type, is under the dotted key (looked up like get_string).
    static bool contains(const std::string& key);

    // The string under a dotted key ("log.level"), looked up table by table: "a..b" names the
    // empty key between the dots, a trailing dot adds nothing. No value when the root is empty,
    // a segment is missing, a node on the way is not a table or the final value is not a string.
    static std::optional<std::string> get_string(const std::string& key);

    // The boolean under a dotted key, looked up like get_string; no value when it is missing or
    // not a boolean.
    static std::optional<bool> get_bool(const std::string& key);

    // Sets the string under a dotted key, creating missing intermediate tables, and rewrites the
    // whole file atomically (temporary file in the same directory, synced, renamed over it).
    // False, with the root and the file unchanged, when the root is empty, a node on the way is
    // not a table, the key is empty, the file cannot be written, or the new text would not load
    // back as the same table (too large, too deep, or not valid TOML): a file that is written
    // always loads again.
    static bool set_string(const std::string& key, const std::string& value);

  private:
    // The node under a dotted key, or null; the caller holds the lock.
    static const void* find_node(const std::string& key);

    static inline std::shared_mutex lock_;
    static inline std::string path_;
    static inline std::any root_;
};
