// SPDX-License-Identifier: MIT
#include "plcscriptfiles.h"
#include "plctestsupport.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <functional>

using namespace Quorvan;

namespace {

class PlcNesting : public PlcTest::ScriptFiles {};

std::string nested(std::size_t depth, const std::string& inner = "")
{
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

// Runs f on a thread with the given stack size, as a host's worker might,
// or with the smallest the processor allows where that is more (128 KiB
// on arm64, with its 64 KiB pages).
void runOnSmallStack(std::size_t stackSize, std::function<void()> f)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN)), 0);
    pthread_t thread;
    auto entry = [](void* arg) -> void* {
        (*static_cast<std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, entry, &f), 0);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

} // namespace

TEST_F(PlcNesting, MillionLevelsOnSmallStackThreadFailCleanly)
{
    const std::string arrays = write(nested(1000000), "arrays.json");
    const std::string objects = write([] {
        std::string s = "[";
        for (int i = 0; i < 1000000; ++i)
            s += "{\"a\":";
        s += "1";
        s += std::string(1000000, '}');
        return s + "]";
    }(), "objects.json");
    const std::string inElement = write("[{\"Type\":{\"ID\":1,\"X\":" + nested(1000000) + "}}]", "element.json");
    bool arraysValid = true, objectsValid = true, elementValid = true;
    runOnSmallStack(256 * 1024, [&] {
        arraysValid = CtvkParsePlcCommon(arrays).isValid();
        objectsValid = CtvkParsePlcCommon(objects).isValid();
        elementValid = CtvkParsePlcCommon(inElement).isValid();
    });
    EXPECT_FALSE(arraysValid);
    EXPECT_FALSE(objectsValid);
    EXPECT_FALSE(elementValid);
}

TEST_F(PlcNesting, LimitIsExactlyTheDocumentedDepth)
{
    const unsigned int limit = CtvkParsePlcCommon::kMaxNestingLevels;
    // Root array (1), element object (2), "Type" body (3), then the rest.
    const auto script = [](unsigned int depth) {
        return "[{\"Type\":{\"ID\":1,\"X\":" + nested(depth - 3) + "}}]";
    };
    CtvkParsePlcCommon atLimit(write(script(limit), "at.json"));
    EXPECT_TRUE(atLimit.isValid());
    EXPECT_TRUE(atLimit.actual().isValid());
    CtvkParsePlcCommon beyond(write(script(limit + 1), "beyond.json"));
    EXPECT_FALSE(beyond.isValid());
    EXPECT_FALSE(beyond.actual().isValid());
    // Also after a stop the limit still holds.
    CtvkParsePlcCommon afterStop(write("[1," + nested(limit) + "]", "stop.json"));
    EXPECT_FALSE(afterStop.isValid());
}

TEST_F(PlcNesting, DeepButAllowedScriptReadsOnSmallStack)
{
    const std::string path = write("[{\"Type\":{\"ID\":17,\"StartTrigger\":[{\"Condition\":[{\"Type\":1,\"Params\":[1],\"Deep\":" +
                                       nested(CtvkParsePlcCommon::kMaxNestingLevels - 7) + "}]}]}}]");
    std::size_t triggers = 0;
    runOnSmallStack(64 * 1024, [&] { triggers = CtvkParsePlcCommon(path).triggers().size(); });
    EXPECT_EQ(triggers, 1u);
}
