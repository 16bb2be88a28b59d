// SPDX-License-Identifier: MIT
#ifndef TVKVARIANT_H
#define TVKVARIANT_H

#include "tvkbase_global.h"
#include "tvkstring.h"

namespace Quorvan {

// A tagged value: invalid, bool, int, double, string or an opaque pointer.
class TVK_BASE_EXPORT CtvkVariant {
public:
    // Type numbers as canConvert() takes them.
    enum Type { Invalid = 0, Bool = 1, Int = 2, Double = 6, String = 10, VoidStar = 31 };

    CtvkVariant() noexcept;                    // invalid
    CtvkVariant(bool b) noexcept;
    CtvkVariant(int i) noexcept;
    CtvkVariant(unsigned int u) noexcept;      // stored as int when it fits, else as double
    CtvkVariant(double d) noexcept;
    CtvkVariant(const CtvkString& s);
    CtvkVariant(const char* latin1);
    CtvkVariant(void* p) noexcept;
    CtvkVariant(const CtvkVariant&);
    CtvkVariant(CtvkVariant&&) noexcept;
    CtvkVariant& operator=(const CtvkVariant&);
    CtvkVariant& operator=(CtvkVariant&&) noexcept;
    ~CtvkVariant();

    Type type() const noexcept { return m_type; }
    bool isValid() const noexcept { return m_type != Invalid; }
    bool canConvert(int type) const noexcept;

    bool toBool() const noexcept;
    int toInt(bool* ok = nullptr) const noexcept;
    double toDouble(bool* ok = nullptr) const noexcept;
    CtvkString toString() const;               // null string for an invalid variant
    void* toVoidStar() const noexcept;

    bool operator==(const CtvkVariant& other) const;
    bool operator!=(const CtvkVariant& other) const { return !(*this == other); }

private:
    Type m_type;
    union {
        bool b;
        int i;
        double d;
        void* p;
    } m_value;
    CtvkString m_string;
};

} // namespace Quorvan

#endif
