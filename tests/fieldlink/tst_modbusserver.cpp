// SPDX-License-Identifier: MIT
#include "errorrecorder.h"

#include "tvkmodbusserver.h"
#include "tvkmodbusserver_p.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Quorvan;
using tvktest::ErrorRecorder;

namespace {

using Unit = CtvkModbusDataUnit;

// The register map needs no transport: a server that never serves.
class MapOnlyServer : public CtvkModbusServer {
public:
    bool open() override { return true; }
    void processRequest() override {}
    CtvkModbusServerPrivate* priv() { return d_func(); }
};

const CtvkString kOutOfRange = CtvkString::fromAscii("Address Out of the alloced range");

// Each table starts somewhere else and has another size, so an access that
// picks the wrong table, or the wrong end of the right one, shows.
struct Layout {
    Unit::RegisterType type;
    int start;
    int count;
};
const Layout kLayouts[] = {
    {Unit::Coils, 100, 10},
    {Unit::DiscreteInputs, 200, 7},
    {Unit::HoldingRegisters, 300, 12},
    {Unit::InputRegisters, 400, 5},
};

class RegisterMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.setStartAddressAndNum(100, 10, 200, 7, 300, 12, 400, 5);
        ASSERT_TRUE(recorder.codes.empty());
    }

    MapOnlyServer server;
    ErrorRecorder recorder{&server};
};

TEST_F(RegisterMap, EveryTableHoldsExactlyItsOwnRange)
{
    for (const Layout& t : kLayouts) {
        SCOPED_TRACE(t.type);
        const int first = t.start;
        const int last = t.start + t.count - 1;
        EXPECT_TRUE(server.setData(t.type, first, 1));
        EXPECT_TRUE(server.setData(t.type, last, 1));
        unsigned short v = 7;
        EXPECT_TRUE(server.data(t.type, first, &v));
        EXPECT_EQ(v, 1);
        EXPECT_TRUE(server.data(t.type, last, &v));
        EXPECT_EQ(v, 1);

        for (int outside : {first - 1, last + 1, 0}) {
            v = 7;
            EXPECT_FALSE(server.data(t.type, outside, &v)) << outside;
            EXPECT_EQ(v, 7) << "an address outside must leave the output alone";
            EXPECT_EQ(server.error(), CtvkModbusDevice::ReadError);
            EXPECT_TRUE(server.errorString() == kOutOfRange);
            EXPECT_FALSE(server.setData(t.type, outside, 1)) << outside;
            EXPECT_EQ(server.error(), CtvkModbusDevice::WriteError);
            EXPECT_TRUE(server.errorString() == kOutOfRange);
        }
    }
    // Six failures per table, each one recorded and emitted.
    EXPECT_EQ(recorder.codes.size(), 4u * 6u);
}

TEST_F(RegisterMap, PrivateFamilyHasTheSameBoundsAndTouchesOnlyItsTable)
{
    CtvkModbusServerPrivate* d = server.priv();
    bool ok = false;
    EXPECT_TRUE(d->processWriteCoilsRequest(109, 3));
    EXPECT_FALSE(d->processWriteCoilsRequest(110, 3));
    EXPECT_FALSE(d->processWriteCoilsRequest(99, 3));
    EXPECT_TRUE(d->processWriteDiscreteInputsRequest(206, 4));
    EXPECT_FALSE(d->processWriteDiscreteInputsRequest(207, 4));
    EXPECT_TRUE(d->processWriteHoldingRegistersRequest(311, 0x1234));
    EXPECT_FALSE(d->processWriteHoldingRegistersRequest(312, 1));
    EXPECT_TRUE(d->processWriteInputRegistersRequest(400, 0xFFFF));
    EXPECT_FALSE(d->processWriteInputRegistersRequest(399, 1));

    EXPECT_EQ(d->processReadCoilsRequest(&ok, 109), 3);   // stored unfolded
    EXPECT_TRUE(ok);
    EXPECT_EQ(d->processReadCoilsRequest(&ok, 110), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(d->processReadDiscreteInputsRequest(&ok, 206), 4);
    EXPECT_TRUE(ok);
    EXPECT_EQ(d->processReadHoldingRegistersRequest(&ok, 311), 0x1234);
    EXPECT_TRUE(ok);
    EXPECT_EQ(d->processReadHoldingRegistersRequest(&ok, 299), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(d->processReadInputRegistersRequest(&ok, 400), 0xFFFF);
    EXPECT_TRUE(ok);
    EXPECT_EQ(d->processReadInputRegistersRequest(&ok, 405), 0);
    EXPECT_FALSE(ok);

    // The same holding register through all three ways of reading it.
    unsigned short v = 0;
    EXPECT_TRUE(server.data(Unit::HoldingRegisters, 311, &v));
    EXPECT_EQ(v, 0x1234);
    const CtvkVector<unsigned short> regs = d->processReadMultiHoldingRegistersRequest(&ok, 310, 2);
    EXPECT_TRUE(ok);
    EXPECT_EQ(regs, (CtvkVector<unsigned short>{0, 0x1234}));

    EXPECT_TRUE(recorder.codes.empty()) << "the private family records no error";
}

TEST_F(RegisterMap, PrivateBlockOperationsStopAtTheTableEnd)
{
    CtvkModbusServerPrivate* d = server.priv();
    EXPECT_TRUE(d->processWriteMultiCoilsRequest(108, {5, 6}));
    EXPECT_FALSE(d->processWriteMultiCoilsRequest(108, {7, 8, 9}));   // third is at 110
    EXPECT_TRUE(d->processWriteMultiHoldingRegistersRequest(300, {}));
    EXPECT_FALSE(d->processWriteMultiInputRegistersRequest(403, {1, 2, 3}));
    EXPECT_FALSE(d->processWriteMultiDiscreteInputsRequest(199, {1}));

    bool ok = false;
    EXPECT_EQ(d->processReadMultiCoilsRequest(&ok, 108, 2), (CtvkVector<unsigned char>{7, 8}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(d->processReadMultiCoilsRequest(&ok, 108, 3), (CtvkVector<unsigned char>{7, 8}));
    EXPECT_FALSE(ok);
    EXPECT_EQ(d->processReadMultiInputRegistersRequest(&ok, 403, 3), (CtvkVector<unsigned short>{1, 2}));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(d->processReadMultiDiscreteInputsRequest(&ok, 5000, 0).isEmpty());
    EXPECT_TRUE(ok) << "an empty range is never outside";
    EXPECT_TRUE(d->processReadMultiDiscreteInputsRequest(&ok, 199, 2).isEmpty());
    EXPECT_FALSE(ok);
}

TEST_F(RegisterMap, PublicWritesFoldBitsPrivateAndBlockWritesDoNot)
{
    EXPECT_TRUE(server.setData(Unit::Coils, 100, 5));
    EXPECT_TRUE(server.setData(Unit::DiscreteInputs, 200, 0x100));   // nonzero, low byte 0
    EXPECT_TRUE(server.setData(Unit::HoldingRegisters, 300, 5));
    unsigned short v = 0;
    EXPECT_TRUE(server.data(Unit::Coils, 100, &v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(server.data(Unit::DiscreteInputs, 200, &v));
    EXPECT_EQ(v, 1);
    EXPECT_TRUE(server.data(Unit::HoldingRegisters, 300, &v));
    EXPECT_EQ(v, 5);

    Unit coils;
    coils.registerType = Unit::Coils;
    coils.startAddress = 101;
    coils.values = {CtvkVariant(0), CtvkVariant(1), CtvkVariant(2), CtvkVariant(256), CtvkVariant(257)};
    EXPECT_TRUE(server.setData(coils));
    const unsigned short bytes[] = {0, 1, 2, 0, 1};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(server.data(Unit::Coils, 101 + i, &v));
        EXPECT_EQ(v, bytes[i]) << "coil " << 101 + i;
    }

    Unit regs;
    regs.registerType = Unit::InputRegisters;
    regs.startAddress = 400;
    regs.values = {CtvkVariant(65536), CtvkVariant(65537), CtvkVariant(-1)};
    EXPECT_TRUE(server.setData(regs));
    const unsigned short words[] = {0, 1, 0xFFFF};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(server.data(Unit::InputRegisters, 400 + i, &v));
        EXPECT_EQ(v, words[i]);
    }
    EXPECT_TRUE(recorder.codes.empty());
}

TEST_F(RegisterMap, BlockWriteStopsAtTheFirstAddressOutside)
{
    Unit unit;
    unit.registerType = Unit::HoldingRegisters;
    unit.startAddress = 310;
    unit.values = {CtvkVariant(11), CtvkVariant(22), CtvkVariant(33), CtvkVariant(44)};
    EXPECT_FALSE(server.setData(unit));
    EXPECT_EQ(server.error(), CtvkModbusDevice::WriteError);
    EXPECT_TRUE(server.errorString() == kOutOfRange);
    ASSERT_EQ(recorder.codes.size(), 1u);

    unsigned short v = 0;
    EXPECT_TRUE(server.data(Unit::HoldingRegisters, 310, &v));
    EXPECT_EQ(v, 11);
    EXPECT_TRUE(server.data(Unit::HoldingRegisters, 311, &v));
    EXPECT_EQ(v, 22);
    // Nothing spilled into another table.
    for (int a = 400; a < 405; ++a) {
        EXPECT_TRUE(server.data(Unit::InputRegisters, a, &v));
        EXPECT_EQ(v, 0);
    }

    unit.startAddress = 299;   // the very first value is outside
    EXPECT_FALSE(server.setData(unit));
    EXPECT_TRUE(server.data(Unit::HoldingRegisters, 300, &v));
    EXPECT_EQ(v, 0);
}

TEST_F(RegisterMap, TypesThatAreNoTableAreRefusedQuietlyOrLoudly)
{
    unsigned short v = 9;
    EXPECT_TRUE(server.setData(Unit::Invalid, 100, 1)) << "a single write to no table is a no-op";
    EXPECT_TRUE(server.setData(static_cast<Unit::RegisterType>(7), 100, 1));
    EXPECT_TRUE(recorder.codes.empty());

    Unit unit;
    unit.startAddress = 100;
    unit.values = {CtvkVariant(1)};
    EXPECT_FALSE(server.setData(unit));
    EXPECT_TRUE(recorder.codes.empty()) << "a unit of no table is refused without an error";
    EXPECT_TRUE(server.data(Unit::Coils, 100, &v));
    EXPECT_EQ(v, 0);

    EXPECT_FALSE(server.data(Unit::Invalid, 100, &v));
    EXPECT_EQ(server.error(), CtvkModbusDevice::ReadError);
    EXPECT_FALSE(server.data(&unit));
    EXPECT_EQ(server.error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(unit.values.size(), 1);
}

TEST_F(RegisterMap, EmptyUnitOfARealTableIsWritten)
{
    Unit unit;
    unit.registerType = Unit::DiscreteInputs;
    unit.startAddress = 5000;
    EXPECT_TRUE(server.setData(unit));
    EXPECT_TRUE(recorder.codes.empty());
}

TEST_F(RegisterMap, BlockReadAppendsFromItsStartToTheTableEnd)
{
    for (int a = 300; a < 312; ++a)
        ASSERT_TRUE(server.setData(Unit::HoldingRegisters, a, static_cast<unsigned short>(a * 3)));

    Unit whole;
    whole.registerType = Unit::HoldingRegisters;
    whole.startAddress = 300;
    whole.values = {CtvkVariant(-5)};
    EXPECT_TRUE(server.data(&whole));
    ASSERT_EQ(whole.values.size(), 13);
    EXPECT_EQ(whole.values.at(0), CtvkVariant(-5)) << "values already there stay in front";
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(whole.values.at(i + 1), CtvkVariant((300 + i) * 3));

    Unit tail;
    tail.registerType = Unit::HoldingRegisters;
    tail.startAddress = 309;
    EXPECT_FALSE(server.data(&tail));
    EXPECT_EQ(server.error(), CtvkModbusDevice::WriteError);
    EXPECT_TRUE(server.errorString() == kOutOfRange);
    ASSERT_EQ(tail.values.size(), 3);
    EXPECT_EQ(tail.values.at(2), CtvkVariant(311 * 3));

    Unit outside;
    outside.registerType = Unit::Coils;
    outside.startAddress = 99;
    EXPECT_FALSE(server.data(&outside));
    EXPECT_TRUE(outside.values.isEmpty());

    Unit bits;
    bits.registerType = Unit::DiscreteInputs;
    bits.startAddress = 200;
    ASSERT_TRUE(server.setData(Unit::DiscreteInputs, 206, 1));
    EXPECT_TRUE(server.data(&bits));
    ASSERT_EQ(bits.values.size(), 7);
    EXPECT_EQ(bits.values.at(6), CtvkVariant(1));
    EXPECT_EQ(bits.values.at(5), CtvkVariant(0));
}

TEST_F(RegisterMap, EmptyTableReadsAsEmptyButHoldsNoAddress)
{
    server.setStartAddressAndNum(0, 0, 0, 4, 0, 4, 0, 4);
    Unit unit;
    unit.registerType = Unit::Coils;
    unit.startAddress = 0;
    EXPECT_TRUE(server.data(&unit));
    EXPECT_TRUE(unit.values.isEmpty());
    EXPECT_FALSE(server.setData(Unit::Coils, 0, 1));
}

TEST_F(RegisterMap, ReplacedMapStartsAtZeroWithItsNewLayout)
{
    ASSERT_TRUE(server.setData(Unit::HoldingRegisters, 305, 77));
    server.setStartAddressAndNum(0, 2, 0, 2, 10, 3, 0, 2);
    EXPECT_TRUE(recorder.codes.empty());
    unsigned short v = 9;
    EXPECT_FALSE(server.data(Unit::HoldingRegisters, 305, &v)) << "the old layout is gone";
    EXPECT_TRUE(server.data(Unit::HoldingRegisters, 12, &v));
    EXPECT_EQ(v, 0);
    EXPECT_FALSE(server.data(Unit::HoldingRegisters, 13, &v));
}

TEST_F(RegisterMap, MapThatCannotBeMadeLeavesNoneBehind)
{
    // A negative count would ask for billions of entries.
    server.setStartAddressAndNum(0, -1, 0, 2, 0, 2, 0, 2);
    ASSERT_EQ(recorder.codes.size(), 1u);
    EXPECT_EQ(server.error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_FALSE(server.errorString().isEmpty());
    unsigned short v = 0;
    EXPECT_FALSE(server.data(Unit::HoldingRegisters, 300, &v)) << "the earlier map is no longer used";
}

TEST(RegisterMapAbsent, EveryTableOperationFailsAsForAnAddressOutside)
{
    MapOnlyServer server;
    ErrorRecorder recorder(&server);
    CtvkModbusServerPrivate* d = server.priv();
    bool ok = true;
    unsigned short v = 3;
    EXPECT_FALSE(server.data(Unit::Coils, 0, &v));
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(server.setData(Unit::HoldingRegisters, 0, 1));
    EXPECT_EQ(server.error(), CtvkModbusDevice::WriteError);
    Unit unit;
    unit.registerType = Unit::InputRegisters;
    unit.startAddress = 0;
    EXPECT_FALSE(server.data(&unit));
    EXPECT_FALSE(server.setData(unit)) << "no table to write even nothing into";

    EXPECT_EQ(d->processReadCoilsRequest(&ok, 0), 0);
    EXPECT_FALSE(ok);
    ok = true;
    d->processReadMultiHoldingRegistersRequest(&ok, 0, 0);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(d->processWriteInputRegistersRequest(0, 1));
    EXPECT_FALSE(d->processWriteMultiCoilsRequest(0, {}));
    EXPECT_EQ(recorder.codes.size(), 4u);
}

TEST(DataUnit, DefaultsNameNoTable)
{
    const Unit unit;
    EXPECT_EQ(unit.tag, 0);
    EXPECT_EQ(unit.registerType, Unit::Invalid);
    EXPECT_EQ(unit.startAddress, -1);
    EXPECT_TRUE(unit.values.isEmpty());
}

TEST(ModbusServer, RegistersItsClassNameAndHasNoContextYet)
{
    MapOnlyServer server;
    EXPECT_STREQ(server.className(), "CtvkModbusServer");
    EXPECT_TRUE(server.inherits("CtvkModbusDevice"));
    EXPECT_EQ(server.socketDescriptor(), -1);
    server.setSocketDescriptor(5);   // no context: nothing to point anywhere
    EXPECT_EQ(server.socketDescriptor(), -1);
}

} // namespace
