// Process-wide store of the TOML configuration file: dotted-key look-up and atomic rewrite.
#pragma once

#include <any>
#include <optional>
#include <shared_mutex>
#include <string>

// All operations are static and take the store's reader-writer lock. The root is either empty
// or holds a parsed TOML table; it is kept type-erased and checked to hold a table before each
// use.
class ConfigStore {
  public:
    ConfigStore() = delete;

    // Remembers `path` and makes the parsed file the root. A missing, unreadable or invalid file
    // leaves the root empty; nothing is reported.
    static void load(const std::string& path);

    // The string under a dotted key ("log.level"), looked up table by table: "a..b" names the
    // empty key between the dots, a trailing dot adds nothing. No value when the root is empty,
    // a segment is missing, a node on the way is not a table or the final value is not a string.
    static std::optional<std::string> get_string(const std::string& key);

    // Sets the string under a dotted key, creating missing intermediate tables, and rewrites the
    // whole file atomically (temporary file in the same directory, synced, renamed over it).
    // False, with the root and the file unchanged, when the root is empty, a node on the way is
    // not a table, the key is empty or the file cannot be written.
    static bool set_string(const std::string& key, const std::string& value);

  private:
    static inline std::shared_mutex lock_;
    static inline std::string path_;
    static inline std::any root_;
};
