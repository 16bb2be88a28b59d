// SPDX-License-Identifier: MIT
// The root of a script: reading the file and choosing the sections.
#include "tvkparseplccommon_p.h"

#include "tvkfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <stdexcept>

namespace Quorvan {

namespace {

using ReadError = CtvkParsePlcCommon::ReadError;

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

// What the path names is looked at before the file class opens it: opening
// a FIFO without a writer waits for one, a device such as /dev/zero never
// ends, and a file past the limit would be held whole in memory. A regular
// file whose size is 0 is empty as far as a script goes; read, a pseudo-file
// that reports no size (/proc/self/pagemap) runs to hundreds of gigabytes.
// A path that stat cannot see is left to the file class, which may know it.
ReadError refusedBeforeOpening(const std::string& path, std::string& why)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return CtvkParsePlcCommon::NoError;
    if (!S_ISREG(st.st_mode)) {
        const char* kind = fileKind(st.st_mode);
        why = kind ? std::string("not a regular file but ") + kind : std::string("not a regular file");
        return CtvkParsePlcCommon::NotRegularFile;
    }
    if (static_cast<unsigned long long>(st.st_size) > CtvkParsePlcCommon::kMaxScriptSizeBytes) {
        why = tooLargeText();
        return CtvkParsePlcCommon::TooLarge;
    }
    if (st.st_size == 0) {
        why = "the script is empty";
        return CtvkParsePlcCommon::EmptyScript;
    }
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
        std::string why;
        const ReadError refused = refusedBeforeOpening(path, why);
        if (refused != NoError)
            return setError(refused, why);
        const CtvkString name = CtvkString::fromUtf8(path.c_str(), -1);
        // Bytes that are no UTF-8 would reach the file class as another name.
        if (name.toStdString() != path)
            return setError(OpenError, "the path is not UTF-8");
        CtvkFile file(name, nullptr);   // closed when parse returns, on every path
        file.open(CtvkDevice::OpenMode(CtvkDevice::ReadOnly));
        if (!file.isOpen())
            return setError(OpenError, file.errorString().toStdString());
        // Read up to the size the file has when the read begins: one that
        // grew past the limit since it was looked at is refused here.
        CtvkByteArray text = file.readAll();
        if (text.isNull())
            return setError(ReadFailed, file.errorString().toStdString());
        if (static_cast<unsigned long long>(text.size()) > kMaxScriptSizeBytes)
            return setError(TooLarge, tooLargeText());
        if (text.isEmpty())
            return setError(EmptyScript, "the script is empty");
        // The only holder of the bytes, so data() does not copy them; they
        // end with the terminating zero that the in-place parse needs.
        CtvkPlcScriptReader::readText(*this, text.data(), static_cast<std::size_t>(text.size()));
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
