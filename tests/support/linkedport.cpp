// SPDX-License-Identifier: MIT
#include "linkedport.h"

#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace tvktest {

LinkedPort::LinkedPort(const std::string& line)
{
    std::string pattern = "/tmp/tvk-port-XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (!::mkdtemp(folder.data()))
        return;
    m_folder = folder.data();
    m_path = m_folder + "/ttyUSB0";
    m_linked = ::symlink(line.c_str(), m_path.c_str()) == 0;
}

LinkedPort::~LinkedPort()
{
    if (m_folder.empty())
        return;
    ::unlink(m_path.c_str());
    ::rmdir(m_folder.c_str());
}

bool LinkedPort::pointAt(const std::string& line)
{
    ::unlink(m_path.c_str());
    m_linked = ::symlink(line.c_str(), m_path.c_str()) == 0;
    return m_linked;
}

} // namespace tvktest
