// SPDX-License-Identifier: MIT
#ifndef TVKPROPERTY_P_H
#define TVKPROPERTY_P_H

#include "tvkobject.h"

#include <cstring>
#include <string>
#include <utility>

namespace Quorvan {

// One row of a class's property table: the name as callers write it, the
// type name a type query gives, how to read it into the caller's object at
// args[0], and how to write it from there (null: the property cannot be
// written).
template <class Object>
struct CtvkPropertyEntry {
    const char* name;
    const char* type;
    void (*read)(Object* object, void* out);
    void (*write)(Object* object, void* in);
};

template <class T>
inline T& tvkPropertyArg(void* p) { return *static_cast<T*>(p); }

// A string read is swapped into the caller's std::string.
inline void tvkPropertyReadString(void* out, std::string value) { value.swap(tvkPropertyArg<std::string>(out)); }

// Performs `call` for `name` if the table has it: reads, type and existence
// queries match every name, writes only the writable ones. Names match
// exactly, case included. Answers whether the request was performed.
template <class Object, std::size_t N>
bool tvkPropertyCall(const CtvkPropertyEntry<Object> (&table)[N], Object* object, CtvkMetaProperty::Call call,
                     const char* name, void** args)
{
    if (!object || !name || !args)
        return false;
    for (const CtvkPropertyEntry<Object>& p : table) {
        if (std::strcmp(p.name, name) != 0)
            continue;
        switch (call) {
        case CtvkMetaProperty::ReadProperty:
            if (!args[0])
                return false;
            p.read(object, args[0]);
            return true;
        case CtvkMetaProperty::WriteProperty:
            if (!p.write || !args[0])
                return false;
            p.write(object, args[0]);
            return true;
        case CtvkMetaProperty::QueryProperty:
            return true;
        case CtvkMetaProperty::QueryPropertyType:
            if (!args[0])
                return false;
            tvkPropertyArg<std::string>(args[0]) = p.type;
            return true;
        default:
            return false;
        }
    }
    return false;
}

} // namespace Quorvan

#endif
