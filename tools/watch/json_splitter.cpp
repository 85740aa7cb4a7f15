#include "tools/watch/json_splitter.h"

#include <utility>

namespace hdgrab::watch {
namespace {

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

JsonObjectSplitter::JsonObjectSplitter(size_t max_object_size)
    : max_object_size_(max_object_size) {}

void JsonObjectSplitter::feed(std::string_view bytes) {
    for (const char c : bytes) {
        consume(c);
    }
}

std::optional<std::string> JsonObjectSplitter::next() {
    if (complete_.empty()) {
        return std::nullopt;
    }
    std::string text = std::move(complete_.front());
    complete_.pop_front();
    return text;
}

void JsonObjectSplitter::reset() {
    complete_.clear();
    current_.clear();
    depth_ = 0;
    in_string_ = false;
    escaped_ = false;
    dropping_ = false;
    skipped_bytes_ = 0;
    dropped_objects_ = 0;
}

size_t JsonObjectSplitter::take_skipped_bytes() {
    return std::exchange(skipped_bytes_, 0);
}

size_t JsonObjectSplitter::take_dropped_objects() {
    return std::exchange(dropped_objects_, 0);
}

void JsonObjectSplitter::consume(char c) {
    if (depth_ == 0) {
        // Between objects only an opening brace matters; anything else is noise.
        if (c == '{') {
            current_.assign(1, c);
            depth_ = 1;
        } else if (!is_json_space(c)) {
            ++skipped_bytes_;
        }
        return;
    }

    if (!dropping_) {
        if (current_.size() >= max_object_size_) {
            // Keep following the brackets so the stream stays in step, but stop storing.
            dropping_ = true;
            ++dropped_objects_;
            current_.clear();
            current_.shrink_to_fit();
        } else {
            current_.push_back(c);
        }
    }

    if (in_string_) {
        if (escaped_) {
            escaped_ = false;
        } else if (c == '\\') {
            escaped_ = true;
        } else if (c == '"') {
            in_string_ = false;
        }
        return;
    }
    switch (c) {
        case '"':
            in_string_ = true;
            break;
        case '{':
        case '[':
            ++depth_;
            break;
        case '}':
        case ']':
            if (--depth_ == 0) {
                finish_object();
            }
            break;
        default:
            break;
    }
}

void JsonObjectSplitter::finish_object() {
    if (!dropping_) {
        complete_.push_back(std::move(current_));
    }
    current_.clear();
    dropping_ = false;
    in_string_ = false;
    escaped_ = false;
}

}  // namespace hdgrab::watch
