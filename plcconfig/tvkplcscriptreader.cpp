// Streaming reader of the root array.
//
// The root array is read with the iterative SAX parser, so neither parsing
// nor anything else recurses on the document's depth: a host may read a
// script on a worker thread with a small stack, and a hostile file nested a
// million levels deep must not end the process. Each root element is built
// into a small DOM of its own, handed to the section readers and freed, so
// the whole DOM of a large script never exists at once.
//
// A parse error anywhere must leave the object as it was and print nothing,
// yet the sections are read before the end of the text is seen. So results,
// the word-list messages and the version line are staged and applied only
// once the whole text has parsed.
#include "tvkparseplccommon_p.h"

#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <iostream>
#include <iterator>
#include <optional>
#include <utility>

namespace Quorvan {

namespace {

using rapidjson::SizeType;
using rapidjson::Value;

struct StagedScript {
    std::optional<CtvkParseProtocol> protocol;
    std::optional<CtvkParseActual> actual;
    std::optional<CtvkParseLineStatus> lineStatus;
    std::optional<CtvkParseMoldSet> moldSet;
    std::vector<CtvkParseTrigger> triggers;
    bool rootIsArray = false;
    bool stopped = false;   // an element ended the reading of the array
};

// Applies one root element; returns false when it stops the array.
bool readElement(const Value& element, StagedScript& staged)
{
    if (!element.IsObject())
        return false;
    const auto type = element.FindMember("Type");   // the first one counts
    if (type != element.MemberEnd()) {
        const Value& body = type->value;
        if (!body.IsObject())
            return false;
        const auto id = body.FindMember("ID");
        if (id == body.MemberEnd() || !id->value.IsUint())
            return false;
        switch (id->value.GetUint()) {
        case 1:
            staged.actual.emplace(body);
            break;
        case 7:
            staged.lineStatus.emplace(body);
            break;
        case 9:
            staged.moldSet.emplace(body);
            break;
        case 17: {
            CtvkParseTrigger trigger(body);
            if (trigger.isValid())
                staged.triggers.push_back(std::move(trigger));
            break;
        }
        default:
            break;
        }
        return true;
    }
    const auto protocol = element.FindMember("Protocol");
    if (protocol != element.MemberEnd())
        staged.protocol.emplace(protocol->value);
    return true;
}

// SAX handler: counts depth, refuses to go deeper than the limit, and builds
// each object element of the root array into its own document.
class RootHandler {
public:
    explicit RootHandler(StagedScript& staged) : m_staged(staged) {}

    bool Null() { return m_building ? m_element->Null() : scalar(); }
    bool Bool(bool b) { return m_building ? m_element->Bool(b) : scalar(); }
    bool Int(int i) { return m_building ? m_element->Int(i) : scalar(); }
    bool Uint(unsigned u) { return m_building ? m_element->Uint(u) : scalar(); }
    bool Int64(int64_t i) { return m_building ? m_element->Int64(i) : scalar(); }
    bool Uint64(uint64_t u) { return m_building ? m_element->Uint64(u) : scalar(); }
    bool Double(double d) { return m_building ? m_element->Double(d) : scalar(); }
    bool RawNumber(const char* str, SizeType len, bool copy)
    {
        return m_building ? m_element->RawNumber(str, len, copy) : scalar();
    }
    bool String(const char* str, SizeType len, bool copy)
    {
        return m_building ? m_element->String(str, len, copy) : scalar();
    }
    bool Key(const char* str, SizeType len, bool copy)
    {
        return m_building ? m_element->Key(str, len, copy) : true;
    }

    bool StartObject()
    {
        if (!enter())
            return false;
        if (m_building)
            return m_element->StartObject();
        if (m_depth == 2 && readingElements()) {
            startElement();
            return m_element->StartObject();
        }
        return true;
    }

    bool EndObject(SizeType memberCount)
    {
        bool ok = true;
        if (m_building) {
            ok = m_element->EndObject(memberCount);
            if (ok && m_depth == 2)
                finishElement();
        }
        --m_depth;
        return ok;
    }

    bool StartArray()
    {
        if (!enter())
            return false;
        if (m_building)
            return m_element->StartArray();
        if (m_depth == 1)
            m_staged.rootIsArray = true;
        else if (m_depth == 2 && readingElements())
            m_staged.stopped = true;   // an element that is not an object
        return true;
    }

    bool EndArray(SizeType elementCount)
    {
        const bool ok = m_building ? m_element->EndArray(elementCount) : true;
        --m_depth;
        return ok;
    }

private:
    bool enter()
    {
        // Deeper than the limit is a parse error: the script is not valid.
        return ++m_depth <= CtvkParsePlcCommon::maxNestingDepth;
    }

    bool readingElements() const { return m_staged.rootIsArray && !m_staged.stopped; }

    bool scalar()
    {
        // A scalar root is not an array; a scalar element stops the array.
        if (m_depth == 1 && readingElements())
            m_staged.stopped = true;
        return true;
    }

    void startElement()
    {
        m_element.emplace(&m_allocator);
        m_building = true;
    }

    void finishElement()
    {
        // The handler calls left exactly the element on the document's
        // stack; an empty generator lets Populate move it into the root.
        auto none = [](rapidjson::Document&) { return true; };
        m_element->Populate(none);
        if (!readElement(*m_element, m_staged))
            m_staged.stopped = true;
        m_building = false;
        m_element.reset();
        m_allocator.Clear();   // keeps the first chunk for the next element
    }

    StagedScript& m_staged;
    rapidjson::MemoryPoolAllocator<> m_allocator;
    std::optional<rapidjson::Document> m_element;
    unsigned int m_depth = 0;
    bool m_building = false;
};

} // namespace

bool CtvkPlcScriptReader::readText(CtvkParsePlcCommon& target, const char* text, std::size_t length)
{
    StagedScript staged;
    TvkPlc::CtvkConvertErrorDeferral messages;
    {
        RootHandler handler(staged);
        rapidjson::Reader reader;
        // A plain string stream: unlike the length-taking parse it does not
        // skip a byte-order mark, which is not whitespace in a script.
        rapidjson::StringStream stream(text);
        const rapidjson::ParseResult result =
            reader.Parse<rapidjson::kParseIterativeFlag>(stream, handler);
        // The stream ends at the first zero byte; one inside the file must
        // not cut the text short into something valid.
        if (result.IsError() || stream.Tell() != length)
            return false;
    }
    if (!staged.rootIsArray)
        return false;

    for (std::size_t i = 0; i < messages.count(); ++i)
        std::cout << "Data Type Convert Error ....." << std::endl;
    // What was read before a stop stays, as in a complete read.
    if (staged.protocol)
        target.m_protocol = std::move(*staged.protocol);
    if (staged.actual)
        target.m_actual = std::move(*staged.actual);
    if (staged.lineStatus)
        target.m_lineStatus = std::move(*staged.lineStatus);
    if (staged.moldSet)
        target.m_moldSet = std::move(*staged.moldSet);
    if (target.m_triggers.empty())
        target.m_triggers = std::move(staged.triggers);
    else
        target.m_triggers.insert(target.m_triggers.end(),
                                 std::make_move_iterator(staged.triggers.begin()),
                                 std::make_move_iterator(staged.triggers.end()));
    if (staged.stopped)
        return true;

    if (target.m_protocol.isValid()) {
        std::cout << "parse version: " << target.m_protocol.version() << std::endl;
        target.m_lineStatus.setVersion(target.m_protocol.version());
        target.m_lineStatus.setPriv(target.m_protocol.priv());
    }
    target.valid = true;
    return true;
}

} // namespace Quorvan
