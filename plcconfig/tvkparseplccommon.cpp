// The root of a script: reading the file and choosing the sections.
#include "tvkparseplccommon_p.h"

#include "tvkfile.h"
#include "tvkstring.h"

namespace Quorvan {

CtvkParsePlcCommon::CtvkParsePlcCommon(const std::string& path)
{
    parse(path);
}

void CtvkParsePlcCommon::parse(const std::string& path)
{
    // The path is handed on as a zero-terminated text; one with a zero byte
    // inside would silently name another file.
    if (path.find('\0') != std::string::npos)
        return;
    CtvkFile file(CtvkString::fromUtf8(path.c_str(), -1), nullptr);
    file.open(CtvkDevice::OpenMode(1));
    if (!file.isOpen())
        return;
    CtvkByteArray content = file.readAll();
    if (content.size() == 0)
        return;
    // The only holder of the bytes: data() does not copy them.
    CtvkPlcScriptReader::readText(*this, content.data(), static_cast<std::size_t>(content.size()));
}

} // namespace Quorvan
