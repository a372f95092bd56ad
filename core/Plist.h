#pragma once

#include "core/Bytes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sarnovelle {

class PlistDict;

// One value inside a parsed or built property list. Each reader yields the
// value only when the stored type matches; any other type counts as
// missing. A node keeps the whole tree it belongs to alive.
class PlistNode {
public:
    std::optional<std::string> text() const;
    std::optional<bool> boolean() const;
    // An integer as unsigned 64-bit (negative integers wrap, as the
    // platform's number reader does); a real when it fits.
    std::optional<std::uint64_t> number() const;
    std::optional<std::vector<PlistNode>> list() const;
    // A dictionary whose keys are all text.
    std::optional<PlistDict> dict() const;

private:
    friend class PlistDict;
    PlistNode(std::shared_ptr<void> root, void* node) : root_(std::move(root)), node_(node) {}
    std::shared_ptr<void> root_;
    void* node_;
};

// A property-list dictionary with text keys: the typed reader for the disk
// utility's answers, and a small builder for writing answers as XML.
// Copies share one tree; setters change it for every copy.
class PlistDict {
public:
    // A new, empty dictionary.
    PlistDict();

    // Parses an XML or binary property list. Absent when the bytes do not
    // parse or the top level is not a dictionary.
    static std::optional<PlistDict> parse(ByteView bytes);

    std::optional<PlistNode> get(std::string_view key) const;
    std::optional<std::string> text(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;
    std::optional<std::uint64_t> number(std::string_view key) const;
    std::optional<std::vector<PlistNode>> list(std::string_view key) const;
    std::optional<PlistDict> dict(std::string_view key) const;
    // A list whose every element is text; absent otherwise.
    std::optional<std::vector<std::string>> textList(std::string_view key) const;
    // The number of entries. (Keys are not listed: a binary list may hold
    // keys that the parser can store but not hand out.)
    std::size_t size() const;

    void setText(std::string_view key, std::string_view value);
    void setBool(std::string_view key, bool value);
    void setNumber(std::string_view key, std::uint64_t value);
    void setTextList(std::string_view key, const std::vector<std::string>& values);
    void setDictList(std::string_view key, const std::vector<PlistDict>& values);
    void setDict(std::string_view key, const PlistDict& value);

    std::string toXml() const;

private:
    friend class PlistNode;
    PlistDict(std::shared_ptr<void> root, void* node) : root_(std::move(root)), node_(node) {}
    std::shared_ptr<void> root_;
    void* node_;
};

} // namespace sarnovelle
