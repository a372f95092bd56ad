#include "core/Plist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace sarnovelle {

namespace {

plist_t node(void* p) { return static_cast<plist_t>(p); }

std::shared_ptr<void> own(plist_t root)
{
    return std::shared_ptr<void>(root, [](void* p) { plist_free(static_cast<plist_t>(p)); });
}

// Every key of a libplist dictionary is text; this only guards against a
// tree libplist could not have built.
bool isDictionary(plist_t p) { return p != nullptr && plist_get_node_type(p) == PLIST_DICT; }

// Owns a buffer that libplist allocated with malloc.
struct MallocFree {
    void operator()(char* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocFree>;

} // namespace

std::optional<std::string> PlistNode::text() const
{
    if (plist_get_node_type(node(node_)) != PLIST_STRING) {
        return std::nullopt;
    }
    // By pointer and length: a binary list may hold a NUL inside a string,
    // which the copying accessor refuses with an assertion.
    std::uint64_t length = 0;
    const char* raw = plist_get_string_ptr(node(node_), &length);
    return raw ? std::string(raw, length) : std::string();
}

std::optional<bool> PlistNode::boolean() const
{
    if (plist_get_node_type(node(node_)) != PLIST_BOOLEAN) {
        return std::nullopt;
    }
    std::uint8_t value = 0;
    plist_get_bool_val(node(node_), &value);
    return value != 0;
}

std::optional<std::uint64_t> PlistNode::number() const
{
    switch (plist_get_node_type(node(node_))) {
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node(node_), &value);
        return value;
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node(node_), &value);
        // 2^64 is the first value that does not fit.
        if (std::isfinite(value) && value >= 0 && value < 18446744073709551616.0) {
            return static_cast<std::uint64_t>(value);
        }
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::vector<PlistNode>> PlistNode::list() const
{
    if (plist_get_node_type(node(node_)) != PLIST_ARRAY) {
        return std::nullopt;
    }
    const std::uint32_t count = plist_array_get_size(node(node_));
    std::vector<PlistNode> items;
    items.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        items.push_back(PlistNode(root_, plist_array_get_item(node(node_), i)));
    }
    return items;
}

std::optional<PlistDict> PlistNode::dict() const
{
    if (!isDictionary(node(node_))) {
        return std::nullopt;
    }
    return PlistDict(root_, node_);
}

PlistDict::PlistDict()
{
    plist_t root = plist_new_dict();
    root_ = own(root);
    node_ = root;
}

std::optional<PlistDict> PlistDict::parse(ByteView bytes)
{
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    const auto length = static_cast<std::uint32_t>(bytes.size());
#if SARNOVELLE_PLIST_FROM_MEMORY_FORMAT
    // libplist 2.3 and later also report the format they found.
    plist_format_t format{};
    plist_from_memory(data, length, &root, &format);
#else
    plist_from_memory(data, length, &root);
#endif
    if (root == nullptr) {
        return std::nullopt;
    }
    auto owner = own(root);
    if (!isDictionary(root)) {
        return std::nullopt;
    }
    return PlistDict(std::move(owner), root);
}

std::optional<PlistNode> PlistDict::get(std::string_view key) const
{
    const std::string k(key);
    plist_t item = plist_dict_get_item(node(node_), k.c_str());
    if (item == nullptr) {
        return std::nullopt;
    }
    return PlistNode(root_, item);
}

std::optional<std::string> PlistDict::text(std::string_view key) const
{
    const auto item = get(key);
    return item ? item->text() : std::nullopt;
}

std::optional<bool> PlistDict::boolean(std::string_view key) const
{
    const auto item = get(key);
    return item ? item->boolean() : std::nullopt;
}

std::optional<std::uint64_t> PlistDict::number(std::string_view key) const
{
    const auto item = get(key);
    return item ? item->number() : std::nullopt;
}

std::optional<std::vector<PlistNode>> PlistDict::list(std::string_view key) const
{
    const auto item = get(key);
    return item ? item->list() : std::nullopt;
}

std::optional<PlistDict> PlistDict::dict(std::string_view key) const
{
    const auto item = get(key);
    return item ? item->dict() : std::nullopt;
}

std::optional<std::vector<std::string>> PlistDict::textList(std::string_view key) const
{
    const auto items = list(key);
    if (!items) {
        return std::nullopt;
    }
    std::vector<std::string> texts;
    texts.reserve(items->size());
    for (const auto& item : *items) {
        auto text = item.text();
        if (!text) {
            return std::nullopt;
        }
        texts.push_back(std::move(*text));
    }
    return texts;
}

std::size_t PlistDict::size() const { return plist_dict_get_size(node(node_)); }

void PlistDict::setText(std::string_view key, std::string_view value)
{
    plist_dict_set_item(node(node_), std::string(key).c_str(), plist_new_string(std::string(value).c_str()));
}

void PlistDict::setBool(std::string_view key, bool value)
{
    plist_dict_set_item(node(node_), std::string(key).c_str(), plist_new_bool(value ? 1 : 0));
}

void PlistDict::setNumber(std::string_view key, std::uint64_t value)
{
    plist_dict_set_item(node(node_), std::string(key).c_str(), plist_new_uint(value));
}

void PlistDict::setTextList(std::string_view key, const std::vector<std::string>& values)
{
    plist_t array = plist_new_array();
    for (const auto& value : values) {
        plist_array_append_item(array, plist_new_string(value.c_str()));
    }
    plist_dict_set_item(node(node_), std::string(key).c_str(), array);
}

void PlistDict::setDictList(std::string_view key, const std::vector<PlistDict>& values)
{
    plist_t array = plist_new_array();
    for (const auto& value : values) {
        plist_array_append_item(array, plist_copy(node(value.node_)));
    }
    plist_dict_set_item(node(node_), std::string(key).c_str(), array);
}

void PlistDict::setDict(std::string_view key, const PlistDict& value)
{
    plist_dict_set_item(node(node_), std::string(key).c_str(), plist_copy(node(value.node_)));
}

std::string PlistDict::toXml() const
{
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node(node_), &raw, &length);
    const MallocText owned(raw);
    return owned ? std::string(owned.get(), length) : std::string();
}

} // namespace sarnovelle
