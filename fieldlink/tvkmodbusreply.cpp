// SPDX-License-Identifier: MIT
#include "tvkmodbusreply.h"
#include "tvkmodbusreply_p.h"

#include "tvkmodbusasync_p.h"
#include "tvkmodbusclient.h"
#include "tvksignal.h"

#include <utility>

namespace Quorvan {

CtvkModbusReplyPrivate::CtvkModbusReplyPrivate(int address, CtvkModbusClient* owner, std::weak_ptr<void> ownerAlive)
    : serverAddress(address), device(owner), deviceAlive(std::move(ownerAlive))
{
}

CtvkModbusReplyPrivate::~CtvkModbusReplyPrivate()
{
    *alive = false;
}

void CtvkModbusReplyPrivate::finishLater(Outcome ending)
{
    link = nullptr;
    request = nullptr;
    pending = std::move(ending);
    CtvkObject::postEvent(mm_func(), new CtvkEvent(kFinishEvent));
}

CtvkModbusReply::CtvkModbusReply(CtvkModbusReplyPrivate* d) : CtvkObject(d, nullptr)
{
    setClassName("CtvkModbusReply");
    storeherits("CtvkModbusReply");
    [[maybe_unused]] static const bool signalsDeclared =
        tvkDeclareSignal("CtvkModbusReply", "finished()")
        && tvkDeclareSignal<CtvkModbusDevice::Error>("CtvkModbusReply", "errorOccurred(CtvkModbusDevice::Error)");
}

CtvkModbusReply::~CtvkModbusReply()
{
    CtvkModbusReplyPrivate* d = d_func();
    // The request goes on without us; its answer will be dropped.
    if (d->link)
        d->link->forget(d->request);
}

bool CtvkModbusReply::isFinished() const
{
    return d_func()->finished;
}

CtvkModbusDataUnit CtvkModbusReply::result() const
{
    return d_func()->outcome.result;
}

int CtvkModbusReply::serverAddress() const
{
    return d_func()->serverAddress;
}

CtvkModbusDevice::Error CtvkModbusReply::error() const
{
    return d_func()->outcome.error;
}

CtvkString CtvkModbusReply::errorString() const
{
    return d_func()->outcome.errorString;
}

int CtvkModbusReply::exceptionCode() const
{
    return d_func()->outcome.exceptionCode;
}

std::vector<unsigned char> CtvkModbusReply::rawResult() const
{
    return d_func()->outcome.raw;
}

bool CtvkModbusReply::event(CtvkEvent* e)
{
    CtvkModbusReplyPrivate* d = d_func();
    if (!e || e->type() != CtvkModbusReplyPrivate::kFinishEvent || d->finished)
        return CtvkObject::event(e);
    d->outcome = std::move(d->pending);
    d->finished = true;
    const std::shared_ptr<bool> alive = d->alive;
    const CtvkModbusDevice::Error code = d->outcome.error;
    if (code != CtvkModbusDevice::NoError) {
        // As the blocking requests do, the device records the failure too.
        if (const std::shared_ptr<void> device = d->deviceAlive.lock())
            d->device->setError(d->outcome.errorString, code);
        if (!*alive)
            return true;
        transmit<void, CtvkModbusDevice::Error>(code, "errorOccurred(CtvkModbusDevice::Error)");
        if (!*alive)
            return true;
    }
    transmit<void>("finished()");
    return true;
}

} // namespace Quorvan
