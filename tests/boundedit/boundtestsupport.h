// SPDX-License-Identifier: MIT
#ifndef BOUNDEDIT_BOUNDTESTSUPPORT_H
#define BOUNDEDIT_BOUNDTESTSUPPORT_H

#include "tvkdatadistribute.h"
#include "tvkeventloop.h"
#include "tvkspinboxsensor.h"

#include <gtest/gtest.h>

#include <functional>

namespace tvktest {

inline Quorvan::CtvkDataDistribute* store() { return Quorvan::CtvkDataDistributeFactory::instance()->get(); }

// Stores a value as the process side does: announced to whoever is bound.
inline void processWrites(unsigned id, const Quorvan::CtvkVariant& v) { store()->setValue(id, v, true, true); }

// A bound box that counts the announcements it is handed, into a counter
// that outlives it.
template <class Box>
class CountingBox : public Box {
public:
    explicit CountingBox(int* counter = nullptr) : m_counter(counter ? counter : &announcements) {}
    void dataSensorEvent(Quorvan::CtvkDataSensorEvent* e) override
    {
        ++*m_counter;
        if (onAnnouncement)
            onAnnouncement();
        else
            Box::dataSensorEvent(e);
    }
    int announcements = 0;
    // Runs instead of the box's own handling when set.
    std::function<void()> onAnnouncement;
private:
    int* m_counter;
};

// Every test starts with an empty store and runs the real event loop.
class BoundBoxTest : public ::testing::Test {
protected:
    void SetUp() override { store()->clear(); }
    // Delivers every pending announcement, and those the deliveries cause.
    void settle()
    {
        for (int i = 0; i < 100 && loop.processEvents(0); ++i) {
        }
    }
    Quorvan::CtvkEventLoop loop;
};

} // namespace tvktest

#endif
