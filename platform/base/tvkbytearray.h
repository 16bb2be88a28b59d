// SPDX-License-Identifier: MIT
#ifndef TVKBYTEARRAY_H
#define TVKBYTEARRAY_H

#include "tvkbase_global.h"

#include <memory>
#include <string>

namespace Quorvan {

// Implicitly shared bytes. data() is always followed by a terminating zero
// byte that size() does not count, so the bytes can be handed to C parsers.
class TVK_BASE_EXPORT CtvkByteArray {
public:
    CtvkByteArray() noexcept;
    CtvkByteArray(const char* data, int size = -1);   // -1: up to the terminating zero
    explicit CtvkByteArray(std::string bytes);
    CtvkByteArray(const CtvkByteArray&) noexcept;
    CtvkByteArray(CtvkByteArray&&) noexcept;
    CtvkByteArray& operator=(const CtvkByteArray&) noexcept;
    CtvkByteArray& operator=(CtvkByteArray&&) noexcept;
    ~CtvkByteArray();

    bool isNull() const noexcept;
    bool isEmpty() const noexcept;
    long long size() const noexcept;
    const char* constData() const noexcept;   // never null: "" for a null array
    const char* data() const noexcept { return constData(); }
    char* data();                             // detaches
    std::string toStdString() const;

    void resize(long long size);
    CtvkByteArray& append(const char* data, long long size);

    bool operator==(const CtvkByteArray& other) const noexcept;
    bool operator!=(const CtvkByteArray& other) const noexcept { return !(*this == other); }

private:
    std::shared_ptr<std::string> m_data;
    void detach();
};

} // namespace Quorvan

#endif
