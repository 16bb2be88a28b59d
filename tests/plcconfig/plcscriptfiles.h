// SPDX-License-Identifier: MIT
#ifndef PLCSCRIPTFILES_H
#define PLCSCRIPTFILES_H

#include "descriptors.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace PlcTest {

// Writes script files into a private temporary directory and removes them
// again; TearDown also proves that reading them left no descriptor open.
class ScriptFiles : public testing::Test {
protected:
    void SetUp() override
    {
        m_fdsBefore = tvktest::openDescriptors();
        char templ[] = "/tmp/tvk-plc-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        m_dir = templ;
    }

    void TearDown() override
    {
        for (const std::string& f : m_files)
            std::remove(f.c_str());
        EXPECT_EQ(rmdir(m_dir.c_str()), 0) << "temporary directory not empty: " << m_dir;
        EXPECT_EQ(tvktest::openDescriptors(), m_fdsBefore);
    }

    std::string write(const std::string& content, const std::string& name = "script.json")
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        EXPECT_TRUE(out) << path;
        m_files.push_back(path);
        return path;
    }

    std::string dir() const { return m_dir; }

private:
    std::string m_dir;
    std::vector<std::string> m_files;
    int m_fdsBefore = 0;
};

} // namespace PlcTest

#endif
