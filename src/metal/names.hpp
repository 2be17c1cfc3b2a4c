// The name tables of the module's string arguments (pixel formats, primitive
// types, compare functions, stencil operations): names compare byte for byte,
// and no name or an unknown one gives the table's fallback.
#pragma once

#include <cstddef>
#include <cstring>

namespace quendal::metal {

template <class Value>
struct Named {
    const char* name;
    Value value;
};

template <class Value, size_t N>
Value valueNamed(const Named<Value> (&table)[N], const char* name, Value fallback)
{
    if (!name) return fallback;
    for (const auto& entry : table) {
        if (std::strcmp(entry.name, name) == 0) return entry.value;
    }
    return fallback;
}

}  // namespace quendal::metal
