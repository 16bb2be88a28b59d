// SPDX-License-Identifier: MIT
// The root of a script: reading the file and choosing the sections.
#include "tvkparseplccommon_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

namespace Quorvan {

namespace {

using ReadError = CtvkParsePlcCommon::ReadError;

class DescriptorCloser {
public:
    explicit DescriptorCloser(int fd) : m_fd(fd) {}
    ~DescriptorCloser() { ::close(m_fd); }
    DescriptorCloser(const DescriptorCloser&) = delete;
    DescriptorCloser& operator=(const DescriptorCloser&) = delete;

private:
    int m_fd;
};

const char* fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return nullptr;
}

std::string tooLargeText()
{
    return "longer than the limit of " + std::to_string(CtvkParsePlcCommon::kMaxScriptSizeBytes) + " bytes";
}

// Reads the whole regular file into text, never more than one byte past the
// limit. Opened without blocking and checked before the first read: a FIFO
// without a writer would block the open, and a device such as /dev/zero
// never ends. The size from fstat only sizes the buffer; the read goes on
// until the end of the file or past the limit, so a file that grows while
// it is read, or that reports no size (as /proc files do), is bounded too.
ReadError readFile(const std::string& path, std::string& text, std::string& why)
{
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        why = std::strerror(errno);
        return CtvkParsePlcCommon::OpenError;
    }
    const DescriptorCloser closer(fd);
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        return CtvkParsePlcCommon::ReadFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        const char* kind = fileKind(st.st_mode);
        why = kind ? std::string("not a regular file but ") + kind : std::string("not a regular file");
        return CtvkParsePlcCommon::NotRegularFile;
    }
    // Blocking again for the reads: a regular file may still answer EAGAIN
    // to a non-blocking read where mandatory locks are in use.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    constexpr std::size_t kLimitBytes = CtvkParsePlcCommon::kMaxScriptSizeBytes;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > kLimitBytes) {
        why = tooLargeText();
        return CtvkParsePlcCommon::TooLarge;
    }
    // One byte of room beyond the reported size lets the read that sees the
    // end happen without growing the buffer.
    text.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            if (used > kLimitBytes) {
                why = tooLargeText();
                return CtvkParsePlcCommon::TooLarge;
            }
            text.resize(std::min(2 * used, kLimitBytes + 1));
        }
        const ssize_t n = ::read(fd, &text[used], text.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            why = std::strerror(errno);
            return CtvkParsePlcCommon::ReadFailed;
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    if (used > kLimitBytes) {
        why = tooLargeText();
        return CtvkParsePlcCommon::TooLarge;
    }
    text.resize(used);
    return CtvkParsePlcCommon::NoError;
}

} // namespace

CtvkParsePlcCommon::CtvkParsePlcCommon(const std::string& path)
{
    parse(path);
}

void CtvkParsePlcCommon::setError(ReadError error, const std::string& text, std::size_t offset, std::size_t element)
{
    m_error = error;
    m_errorOffset = offset;
    m_errorElement = element;
    try {
        m_errorString = text;
    } catch (const std::bad_alloc&) {
        m_errorString.clear();   // the code still tells why
    }
}

void CtvkParsePlcCommon::parse(const std::string& path)
{
    setError(NoError, std::string());
    try {
        // The path is handed on as a zero-terminated text; one with a zero
        // byte inside would silently name another file.
        if (path.find('\0') != std::string::npos)
            return setError(OpenError, "the path holds a zero byte");
        std::string text;
        std::string why;
        const ReadError read = readFile(path, text, why);
        if (read != NoError)
            return setError(read, why);
        if (text.empty())
            return setError(EmptyScript, "the script is empty");
        // The only holder of the bytes; std::string keeps the terminating
        // zero that the in-place parse needs.
        CtvkPlcScriptReader::readText(*this, &text[0], text.size());
    } catch (const std::bad_alloc&) {
        setError(OutOfMemory, "not enough memory to read the script");
    } catch (const std::length_error&) {
        setError(OutOfMemory, "not enough memory to read the script");
    }
}

void CtvkParsePlcCommon::parseText(const char* text, std::size_t length)
{
    setError(NoError, std::string());
    try {
        if (length > kMaxScriptSizeBytes)
            return setError(TooLarge, tooLargeText());
        if (!text || length == 0)
            return setError(EmptyScript, "the script is empty");
        // Parsed in place, so it works on its own copy.
        std::string copy(text, length);
        CtvkPlcScriptReader::readText(*this, &copy[0], copy.size());
    } catch (const std::bad_alloc&) {
        setError(OutOfMemory, "not enough memory to read the script");
    } catch (const std::length_error&) {
        setError(OutOfMemory, "not enough memory to read the script");
    }
}

} // namespace Quorvan
