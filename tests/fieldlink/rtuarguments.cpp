// SPDX-License-Identifier: MIT
#include "rtuarguments.h"

#include <modbus.h>

#include <dlfcn.h>

namespace tvktest {

RtuArguments& lastRtu()
{
    static RtuArguments arguments;
    return arguments;
}

} // namespace tvktest

extern "C" modbus_t* modbus_new_rtu(const char* device, int baud, char parity, int dataBits, int stopBits)
{
    using Real = modbus_t* (*)(const char*, int, char, int, int);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "modbus_new_rtu"));
    tvktest::RtuArguments& last = tvktest::lastRtu();
    last.device = device ? device : "";
    last.baud = baud;
    last.parity = parity;
    last.dataBits = dataBits;
    last.stopBits = stopBits;
    return real(device, baud, parity, dataBits, stopBits);
}

extern "C" int modbus_set_slave(modbus_t* ctx, int slave)
{
    using Real = int (*)(modbus_t*, int);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "modbus_set_slave"));
    tvktest::lastRtu().slave = slave;
    return real(ctx, slave);
}
