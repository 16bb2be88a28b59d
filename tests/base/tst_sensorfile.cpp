// SPDX-License-Identifier: MIT
#include "tvkdatasensor.h"
#include "tvkeventloop.h"
#include "tvkfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Quorvan;

namespace {

class Display : public CtvkObject {
public:
    void dataSensorEvent(CtvkDataSensorEvent* e) override
    {
        std::string text = std::to_string(e->uid()) + ":";
        switch (e->sensorType()) {
        case CtvkDataSensorEvent::BoolSensor:
            text += static_cast<CtvkBoolDataSensorEvent*>(e)->value() ? "true" : "false";
            break;
        case CtvkDataSensorEvent::IntSensor:
            text += std::to_string(static_cast<CtvkIntDataSensorEvent*>(e)->value());
            break;
        case CtvkDataSensorEvent::DoubleSensor:
            text += std::to_string(static_cast<CtvkDoubleDataSensorEvent*>(e)->value());
            break;
        case CtvkDataSensorEvent::AnySensor:
            text += static_cast<CtvkAnyDataSensorEvent*>(e)->value().toString().toStdString();
            break;
        }
        seen.push_back(text);
    }
    std::vector<std::string> seen;
};

TEST(DataSensorTest, AnnouncementsArePostedPerSensorType)
{
    CtvkEventLoop loop;
    CtvkDataSensor* sensor = CtvkApplicationPlus::dataSensor();
    ASSERT_EQ(sensor, CtvkApplicationPlus::dataSensor());
    Display d;
    sensor->bind(5, &d);
    EXPECT_TRUE(sensor->isBound(5, &d));
    sensor->announce(5, 1, CtvkVariant(1));
    sensor->announce(5, 2, CtvkVariant("12"));
    sensor->announce(5, 4, CtvkVariant(0.5));
    sensor->announce(5, 10, CtvkVariant("text"));
    sensor->announce(5, 3, CtvkVariant(1));   // no class for this type
    sensor->announce(6, 2, CtvkVariant(1));   // nobody bound
    EXPECT_TRUE(d.seen.empty());
    loop.processEvents(0);
    EXPECT_EQ(d.seen, (std::vector<std::string>{"5:true", "5:12", "5:0.500000", "5:text"}));
    sensor->unbind(5, &d);
    EXPECT_FALSE(sensor->isBound(5, &d));
    sensor->announce(5, 2, CtvkVariant(1));
    loop.processEvents(0);
    EXPECT_EQ(d.seen.size(), 4u);
}

TEST(DataSensorTest, DestroyedReceiverIsNeverDeliveredTo)
{
    CtvkEventLoop loop;
    CtvkDataSensor* sensor = CtvkApplicationPlus::dataSensor();
    auto* pending = new Display;
    auto* bound = new Display;
    sensor->bind(9, pending);
    sensor->bind(9, bound);
    sensor->announce(9, 2, CtvkVariant(1));
    delete pending;   // an event is queued for it
    EXPECT_FALSE(sensor->isBound(9, pending));
    loop.processEvents(0);
    EXPECT_EQ(bound->seen.size(), 1u);
    delete bound;     // never unbound by hand
    EXPECT_FALSE(sensor->isBound(9, bound));
    sensor->announce(9, 2, CtvkVariant(2));
    loop.processEvents(0);
}

// A device whose reads fail after the first chunk, as a file on a failing
// disk or a descriptor that goes bad in the middle would.
class FailingDevice : public CtvkDevice {
protected:
    long long readData(char* data, long long maxSize) override
    {
        if (++m_reads > 1) {
            setErrorString("read failed");
            return -1;
        }
        const long long n = maxSize < 4 ? maxSize : 4;
        std::memcpy(data, "[{}]", static_cast<std::size_t>(n));
        return n;
    }
    long long writeData(const char*, long long) override { return -1; }

private:
    int m_reads = 0;
};

TEST(ByteDeviceTest, ReadFailingHalfwayGivesNoContent)
{
    FailingDevice device;
    ASSERT_TRUE(device.open(CtvkDevice::ReadOnly));
    const CtvkByteArray all = device.readAll();
    EXPECT_TRUE(all.isNull()) << "a partial read was handed out as the content: " << all.toStdString();
    EXPECT_TRUE(device.errorString() == "read failed");
}

// A device that reports a size and then keeps delivering, as a file that a
// writer appends to while it is read does; it runs dry after kServedBytes
// only so that a read that ignores the size still ends.
class GrowingDevice : public CtvkDevice {
public:
    static constexpr long long kReportedBytes = 10;
    static constexpr long long kServedBytes = 1 << 20;

protected:
    long long readData(char* data, long long maxSize) override
    {
        const long long n = std::min(maxSize, kServedBytes - m_served);
        std::memset(data, 'x', static_cast<std::size_t>(n));
        m_served += n;
        return n;
    }
    long long writeData(const char*, long long) override { return -1; }
    long long bytesLeft() const override { return kReportedBytes - std::min(m_served, kReportedBytes); }

private:
    long long m_served = 0;
};

TEST(ByteDeviceTest, ContentOfAKnownSizeIsReadNoFurther)
{
    GrowingDevice device;
    ASSERT_TRUE(device.open(CtvkDevice::ReadOnly));
    EXPECT_EQ(device.readAll().size(), GrowingDevice::kReportedBytes);
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tvkfiletestXXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        const std::string text = "{\"a\": 1}";
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        path = tmpl;
    }
    void TearDown() override { ::unlink(path.c_str()); }
    std::string path;
};

TEST_F(FileTest, ReadAllGivesTheWholeContentTerminated)
{
    CtvkFile f(CtvkString::fromUtf8(path.c_str()));
    EXPECT_TRUE(f.inherits("CtvkDevice"));
    EXPECT_FALSE(f.isOpen());
    EXPECT_TRUE(f.readAll().isNull());   // not open
    ASSERT_TRUE(f.open(CtvkDevice::OpenMode(1)));
    EXPECT_TRUE(f.isOpen());
    EXPECT_EQ(f.size(), 8);
    const CtvkByteArray all = f.readAll();
    EXPECT_EQ(all.size(), 8);
    EXPECT_EQ(all.constData()[8], '\0');
    EXPECT_STREQ(all.constData(), "{\"a\": 1}");
    EXPECT_EQ(f.write("x", 1), -1);      // read-only
    EXPECT_TRUE(f.readAll().isEmpty());  // at the end now
    f.close();
    EXPECT_FALSE(f.isOpen());
}

TEST_F(FileTest, MissingFileAndDirectoryDoNotOpen)
{
    CtvkFile missing(CtvkString::fromUtf8((path + ".missing").c_str()));
    EXPECT_FALSE(missing.open(CtvkDevice::ReadOnly));
    EXPECT_FALSE(missing.errorString().isEmpty());
    CtvkFile dir("/tmp");
    EXPECT_FALSE(dir.open(CtvkDevice::ReadOnly));
    EXPECT_FALSE(dir.isOpen());
    CtvkFile unnamed{CtvkString()};
    EXPECT_FALSE(unnamed.open(CtvkDevice::ReadOnly));

    CtvkFile out(CtvkString::fromUtf8(path.c_str()));
    ASSERT_TRUE(out.open(CtvkDevice::WriteOnly));
    EXPECT_EQ(out.write("abc", 3), 3);
    out.close();
    CtvkFile in(CtvkString::fromUtf8(path.c_str()));
    ASSERT_TRUE(in.open(CtvkDevice::ReadOnly));
    EXPECT_EQ(in.readAll().toStdString(), "abc");
}

TEST_F(FileTest, OpeningAFifoWithoutWriterDoesNotWait)
{
    const std::string fifo = path + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto opening = std::async(std::launch::async, [&] {
        CtvkFile f(CtvkString::fromUtf8(fifo.c_str()));
        return f.open(CtvkDevice::ReadOnly) && f.readAll().isEmpty();
    });
    if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Lets an open() that waits for a writer go, so that the test ends.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        ADD_FAILURE() << "opening a FIFO without a writer waited for one";
    }
    EXPECT_TRUE(opening.get()) << "no writer: the content is empty";
    ::unlink(fifo.c_str());
}

} // namespace
