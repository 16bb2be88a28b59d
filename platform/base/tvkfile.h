// SPDX-License-Identifier: MIT
#ifndef TVKFILE_H
#define TVKFILE_H

#include "tvkbase_global.h"
#include "tvkbytearray.h"
#include "tvkobject.h"
#include "tvkstring.h"

namespace Quorvan {

template <class Enum>
class CtvkFlags {
public:
    constexpr CtvkFlags() noexcept : m_value(0) {}
    constexpr CtvkFlags(Enum e) noexcept : m_value(static_cast<int>(e)) {}
    constexpr explicit CtvkFlags(int v) noexcept : m_value(v) {}
    constexpr int value() const noexcept { return m_value; }
    constexpr bool testFlag(Enum e) const noexcept { return (m_value & static_cast<int>(e)) == static_cast<int>(e); }
    constexpr CtvkFlags operator|(Enum e) const noexcept { return CtvkFlags(m_value | static_cast<int>(e)); }
private:
    int m_value;
};

// A readable (and writable) sequence of bytes.
class TVK_BASE_EXPORT CtvkDevice : public CtvkObject {
public:
    enum TVKOpenModeFlag { NotOpen = 0, ReadOnly = 1, WriteOnly = 2, ReadWrite = 3, Append = 4, Truncate = 8 };
    using OpenMode = CtvkFlags<TVKOpenModeFlag>;

    explicit CtvkDevice(CtvkObject* parent = nullptr);
    ~CtvkDevice() override;

    virtual bool open(OpenMode mode);
    virtual void close();
    bool isOpen() const noexcept { return m_mode.value() != NotOpen; }
    OpenMode openMode() const noexcept { return m_mode; }

    // The rest of the content from the current position, read in one go; a
    // null array when the device is not readable or a read fails on the way.
    // Where bytesLeft() knows how much is left, no more than that is read.
    CtvkByteArray readAll();
    long long write(const char* data, long long size);
    CtvkString errorString() const { return m_errorString; }

protected:
    virtual long long readData(char* data, long long maxSize) = 0;
    virtual long long writeData(const char* data, long long size) = 0;
    // A hint for readAll(): how many bytes are left, or -1 if unknown.
    virtual long long bytesLeft() const { return -1; }
    void setOpenMode(OpenMode mode) noexcept { m_mode = mode; }
    void setErrorString(const CtvkString& s) { m_errorString = s; }

private:
    OpenMode m_mode;
    CtvkString m_errorString;
};

// A file of the local file system. Destroying it closes it.
class TVK_BASE_EXPORT CtvkFile : public CtvkDevice {
public:
    explicit CtvkFile(const CtvkString& name, CtvkObject* parent = nullptr);
    ~CtvkFile() override;

    CtvkString fileName() const { return m_name; }
    bool open(OpenMode mode) override;
    void close() override;
    long long size() const;

protected:
    long long readData(char* data, long long maxSize) override;
    long long writeData(const char* data, long long size) override;
    long long bytesLeft() const override;

private:
    CtvkString m_name;
    int m_fd = -1;
};

} // namespace Quorvan

#endif
