// SPDX-License-Identifier: MIT
#ifndef TVKTEST_LINKEDPORT_H
#define TVKTEST_LINKEDPORT_H

#include <string>

namespace tvktest {

// A serial port's name that can be moved to another line, as udev names an
// adapter that is plugged in again: a symbolic link in a folder of its own,
// both gone with the object.
class LinkedPort {
public:
    explicit LinkedPort(const std::string& line);
    ~LinkedPort();
    LinkedPort(const LinkedPort&) = delete;
    LinkedPort& operator=(const LinkedPort&) = delete;

    bool ok() const { return m_linked; }
    const std::string& path() const { return m_path; }
    // The name leads to `line` from now on.
    bool pointAt(const std::string& line);

private:
    std::string m_folder;
    std::string m_path;
    bool m_linked = false;
};

} // namespace tvktest

#endif
