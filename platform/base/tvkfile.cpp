// SPDX-License-Identifier: MIT
#include "tvkfile.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace Quorvan {

namespace {

// The first read of content that reports no size; the buffer doubles.
constexpr std::size_t kUnsizedChunkBytes = 65536;

} // namespace

CtvkDevice::CtvkDevice(CtvkObject* parent) : CtvkObject(parent)
{
    setClassName("CtvkDevice");
    storeherits("CtvkDevice");
}

CtvkDevice::~CtvkDevice() = default;

bool CtvkDevice::open(OpenMode mode)
{
    m_mode = mode;
    return true;
}

void CtvkDevice::close()
{
    m_mode = OpenMode();
}

CtvkByteArray CtvkDevice::readAll()
{
    if (!m_mode.testFlag(ReadOnly)) {
        m_errorString = "device not open for reading";
        return CtvkByteArray();
    }
    // Reads straight into the result: no bounce buffer on the stack (a
    // worker thread's stack may be small) and no second copy of a large
    // file. Content of a known size is read up to that size and no further:
    // a file that grows while it is read (a log being written) would keep
    // the read going and the buffer growing. Content that reports no size
    // (a pipe, a pseudo-file of size 0) is read to its end.
    const long long known = bytesLeft();
    const bool sized = known > 0;
    std::string out(sized ? static_cast<std::size_t>(known) : kUnsizedChunkBytes, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == out.size()) {
            if (sized)
                break;
            out.resize(out.size() * 2);
        }
        const long long n = readData(&out[used], static_cast<long long>(out.size() - used));
        if (n < 0)
            return CtvkByteArray();   // a part is no content: readData() recorded why
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    out.resize(used);
    // std::string keeps the terminating zero that C parsers need.
    return CtvkByteArray(std::move(out));
}

long long CtvkDevice::write(const char* data, long long size)
{
    if (!m_mode.testFlag(WriteOnly)) {
        m_errorString = "device not open for writing";
        return -1;
    }
    if (!data || size < 0)
        return -1;
    return writeData(data, size);
}

CtvkFile::CtvkFile(const CtvkString& name, CtvkObject* parent) : CtvkDevice(parent), m_name(name)
{
    setClassName("CtvkFile");
    storeherits("CtvkFile");
}

CtvkFile::~CtvkFile()
{
    CtvkFile::close();
}

bool CtvkFile::open(OpenMode mode)
{
    if (isOpen()) {
        setErrorString("file already open");
        return false;
    }
    int flags = O_CLOEXEC;
    const bool r = mode.testFlag(ReadOnly);
    const bool w = mode.testFlag(WriteOnly) || mode.testFlag(Append);
    if (r && w)
        flags |= O_RDWR;
    else if (w)
        flags |= O_WRONLY;
    else if (r)
        flags |= O_RDONLY;
    else {
        setErrorString("no open mode given");
        return false;
    }
    if (w)
        flags |= O_CREAT;
    if (mode.testFlag(Append))
        flags |= O_APPEND;
    if (mode.testFlag(Truncate) || (mode.testFlag(WriteOnly) && !r && !mode.testFlag(Append)))
        flags |= O_TRUNC;
    const std::string path = m_name.toStdString();
    if (path.empty()) {
        setErrorString("no file name");
        return false;
    }
    // Opening never waits: a FIFO without a writer, or a serial line without
    // carrier, would hold the caller in open() for good. Nor does it make a
    // terminal the process's controlling one. Reads and writes block again
    // afterwards, as a file's do.
    int fd;
    int err = 0;
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY, 0666);
        err = fd < 0 ? errno : 0;
    } while (err == EINTR);
    if (fd < 0) {
        setErrorString(CtvkString::fromUtf8(std::strerror(err)));
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        setErrorString("is a directory");
        return false;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0)
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    m_fd = fd;
    int effective = mode.value();
    if (mode.testFlag(Append))
        effective |= WriteOnly;
    setOpenMode(OpenMode(effective));
    return true;
}

void CtvkFile::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    setOpenMode(OpenMode());
}

long long CtvkFile::size() const
{
    struct stat st{};
    if (m_fd >= 0) {
        if (::fstat(m_fd, &st) == 0)
            return static_cast<long long>(st.st_size);
        return -1;
    }
    const std::string path = m_name.toStdString();
    if (::stat(path.c_str(), &st) == 0)
        return static_cast<long long>(st.st_size);
    return -1;
}

long long CtvkFile::readData(char* data, long long maxSize)
{
    if (m_fd < 0)
        return -1;
    ssize_t n;
    int err = 0;
    do {
        n = ::read(m_fd, data, static_cast<std::size_t>(maxSize));
        err = n < 0 ? errno : 0;
    } while (err == EINTR);
    if (n < 0) {
        setErrorString(CtvkString::fromUtf8(std::strerror(err)));
        return -1;
    }
    return n;
}

long long CtvkFile::writeData(const char* data, long long size)
{
    if (m_fd < 0)
        return -1;
    long long done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, static_cast<std::size_t>(size - done));
        if (n < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            setErrorString(CtvkString::fromUtf8(std::strerror(err)));
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

long long CtvkFile::bytesLeft() const
{
    if (m_fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    const off_t pos = ::lseek(m_fd, 0, SEEK_CUR);
    if (pos < 0 || pos > st.st_size)
        return -1;
    return static_cast<long long>(st.st_size - pos);
}

} // namespace Quorvan
