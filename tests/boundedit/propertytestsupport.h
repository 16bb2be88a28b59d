// SPDX-License-Identifier: MIT
#ifndef BOUNDEDIT_PROPERTYTESTSUPPORT_H
#define BOUNDEDIT_PROPERTYTESTSUPPORT_H

// Property access by name from the caller's side: typed reads and writes
// through tvk_metacall, as a host's scripting layer makes them.

#include "tvkabstractspinbox.h"
#include "tvkobject.h"

#include <gtest/gtest.h>

#include <string>

namespace tvktest {

template <class T>
T readProperty(Quorvan::CtvkObject& o, const char* name)
{
    T value{};
    void* args[] = {&value};
    EXPECT_TRUE(o.tvk_metacall(Quorvan::CtvkMetaProperty::ReadProperty, name, args)) << name;
    return value;
}

template <class T>
bool writeProperty(Quorvan::CtvkObject& o, const char* name, T value)
{
    void* args[] = {&value};
    return o.tvk_metacall(Quorvan::CtvkMetaProperty::WriteProperty, name, args);
}

inline std::string propertyType(Quorvan::CtvkObject& o, const char* name)
{
    std::string type = "untouched";
    void* args[] = {&type};
    if (!o.tvk_metacall(Quorvan::CtvkMetaProperty::QueryPropertyType, name, args))
        return "(none)";
    return type;
}

// Writes `value`, which must differ from the current one, and reads it back.
template <class T>
void expectRoundTrip(Quorvan::CtvkObject& o, const char* name, const T& value)
{
    EXPECT_FALSE(readProperty<T>(o, name) == value) << name << ": pick a value that differs from the current one";
    EXPECT_TRUE(writeProperty(o, name, value)) << name;
    EXPECT_TRUE(readProperty<T>(o, name) == value) << name;
}

// A write of a read-only name is refused and changes nothing.
template <class T>
void expectReadOnly(Quorvan::CtvkObject& o, const char* name, const T& other)
{
    const T before = readProperty<T>(o, name);
    EXPECT_FALSE(writeProperty(o, name, other)) << name;
    EXPECT_TRUE(readProperty<T>(o, name) == before) << name;
}

} // namespace tvktest

#endif
