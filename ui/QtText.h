#pragma once

#include <QString>

#include <string_view>

namespace sarnovelle {

// The system's UTF-8 texts (constants, messages, labels) as Qt text.
inline QString fromStd(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace sarnovelle
