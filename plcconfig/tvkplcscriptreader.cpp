// SPDX-License-Identifier: MIT
// Streaming reader of the root array.
//
// The root array is read with the SAX parser, whose handler refuses to open
// a level beyond the nesting limit. The parser recurses once per level, so
// the limit bounds its stack: a host may read a script on a worker thread
// with a small stack, and a hostile file nested a million levels deep must
// not end the process. (The iterative parser needs no such bound but costs
// a third more time on large scripts.) Nothing else recurses on the
// document's depth. Each root element is built
// into a small DOM of its own, handed to the section readers and freed, so
// the whole DOM of a large script never exists at once.
//
// A parse error anywhere must leave the object as it was and print nothing,
// yet the sections are read before the end of the text is seen. So results,
// the word-list messages and the version line are staged and applied only
// once the whole text has parsed.
#include "tvkparseplccommon_p.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <string>
#include <iterator>
#include <memory>
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
    // Why and where it did, and where the root value begins.
    CtvkParsePlcCommon::ReadError stop = CtvkParsePlcCommon::NoError;
    std::size_t stopElement = 0;
};

// Applies one root element; returns why it stops the array, or NoError.
CtvkParsePlcCommon::ReadError readElement(const Value& element, StagedScript& staged)
{
    if (!element.IsObject())
        return CtvkParsePlcCommon::ElementNotObject;
    const auto type = element.FindMember("Type");   // the first one counts
    if (type != element.MemberEnd()) {
        const Value& body = type->value;
        if (!body.IsObject())
            return CtvkParsePlcCommon::SectionNotObject;
        const auto id = body.FindMember("ID");
        if (id == body.MemberEnd() || !id->value.IsUint())
            return CtvkParsePlcCommon::SectionWithoutId;
        switch (id->value.GetUint()) {
        case CtvkParsePlcCommon::ActualSection:
            staged.actual.emplace(body);
            break;
        case CtvkParsePlcCommon::LineStatusSection:
            staged.lineStatus.emplace(body);
            break;
        case CtvkParsePlcCommon::MoldSetSection:
            staged.moldSet.emplace(body);
            break;
        case CtvkParsePlcCommon::TriggerSection: {
            CtvkParseTrigger trigger(body);
            if (trigger.isValid())
                staged.triggers.push_back(std::move(trigger));
            break;
        }
        default:
            break;
        }
        return CtvkParsePlcCommon::NoError;
    }
    const auto protocol = element.FindMember("Protocol");
    if (protocol != element.MemberEnd())
        staged.protocol.emplace(protocol->value);
    return CtvkParsePlcCommon::NoError;
}

// Builds one DOM value from SAX events on a value stack that is reused from
// element to element (the library's own document frees its stack after each
// value, and a fresh heap block per element costs more than the element).
class ElementBuilder {
public:
    using Allocator = rapidjson::MemoryPoolAllocator<>;
    explicit ElementBuilder(Allocator& allocator) : m_allocator(allocator) {}

    bool Null() { m_stack.emplace_back(); return true; }
    bool Bool(bool b) { m_stack.emplace_back(); m_stack.back().SetBool(b); return true; }
    bool Int(int i) { m_stack.emplace_back(i); return true; }
    bool Uint(unsigned u) { m_stack.emplace_back(u); return true; }
    bool Int64(int64_t i) { m_stack.emplace_back(i); return true; }
    bool Uint64(uint64_t u) { m_stack.emplace_back(u); return true; }
    bool Double(double d) { m_stack.emplace_back(d); return true; }
    bool RawNumber(const char* str, SizeType len, bool copy) { return String(str, len, copy); }
    bool String(const char* str, SizeType len, bool copy)
    {
        // Parsed in place, strings already sit decoded in the file buffer,
        // which outlives the element; only a copied string needs the pool.
        if (copy)
            m_stack.emplace_back(str, len, m_allocator);
        else
            m_stack.emplace_back(rapidjson::StringRef(str, len));
        return true;
    }
    bool Key(const char* str, SizeType len, bool copy) { return String(str, len, copy); }
    bool StartObject() { return true; }
    bool StartArray() { return true; }

    bool EndObject(SizeType memberCount)
    {
        const std::size_t base = m_stack.size() - 2 * std::size_t(memberCount);
        Value object(rapidjson::kObjectType);
        for (std::size_t i = base; i < m_stack.size(); i += 2)
            object.AddMember(m_stack[i], m_stack[i + 1], m_allocator);   // moves, keeps order
        m_stack.resize(base);
        m_stack.push_back(std::move(object));
        return true;
    }

    bool EndArray(SizeType elementCount)
    {
        const std::size_t base = m_stack.size() - elementCount;
        Value array(rapidjson::kArrayType);
        array.Reserve(elementCount, m_allocator);
        for (std::size_t i = base; i < m_stack.size(); ++i)
            array.PushBack(m_stack[i], m_allocator);
        m_stack.resize(base);
        m_stack.push_back(std::move(array));
        return true;
    }

    const Value& value() const { return m_stack.front(); }
    void clear() { m_stack.clear(); }   // keeps the capacity

private:
    Allocator& m_allocator;
    std::vector<Value> m_stack;
};

// SAX handler: counts depth, refuses to go deeper than the limit, and builds
// each object element of the root array into its own DOM value.
class RootHandler {
public:
    explicit RootHandler(StagedScript& staged)
        : m_staged(staged), m_chunk(new char[kChunkSizeBytes]), m_allocator(m_chunk.get(), kChunkSizeBytes)
    {
    }

    // Set when the parse was refused for nesting too deep.
    bool tooDeep() const { return m_tooDeep; }

    bool Null() { return m_building ? m_element.Null() : scalar(); }
    bool Bool(bool b) { return m_building ? m_element.Bool(b) : scalar(); }
    bool Int(int i) { return m_building ? m_element.Int(i) : scalar(); }
    bool Uint(unsigned u) { return m_building ? m_element.Uint(u) : scalar(); }
    bool Int64(int64_t i) { return m_building ? m_element.Int64(i) : scalar(); }
    bool Uint64(uint64_t u) { return m_building ? m_element.Uint64(u) : scalar(); }
    bool Double(double d) { return m_building ? m_element.Double(d) : scalar(); }
    bool RawNumber(const char* str, SizeType len, bool copy)
    {
        return m_building ? m_element.RawNumber(str, len, copy) : scalar();
    }
    bool String(const char* str, SizeType len, bool copy)
    {
        return m_building ? m_element.String(str, len, copy) : scalar();
    }
    bool Key(const char* str, SizeType len, bool copy)
    {
        return m_building ? m_element.Key(str, len, copy) : true;
    }

    bool StartObject()
    {
        if (!enter())
            return false;
        if (m_building)
            return m_element.StartObject();
        if (m_depth == 2 && readingElements()) {
            startElement();
            return m_element.StartObject();
        }
        return true;
    }

    bool EndObject(SizeType memberCount)
    {
        bool ok = true;
        if (m_building) {
            ok = m_element.EndObject(memberCount);
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
            return m_element.StartArray();
        if (m_depth == 1) {
            m_staged.rootIsArray = true;
        } else if (m_depth == 2 && readingElements()) {
            ++m_elementCount;
            stop(CtvkParsePlcCommon::ElementNotObject);
        }
        return true;
    }

    bool EndArray(SizeType elementCount)
    {
        const bool ok = m_building ? m_element.EndArray(elementCount) : true;
        --m_depth;
        return ok;
    }

private:
    bool enter()
    {
        // Deeper than the limit is a parse error: the script is not valid.
        if (++m_depth <= CtvkParsePlcCommon::kMaxNestingLevels)
            return true;
        m_tooDeep = true;
        return false;
    }

    bool readingElements() const { return m_staged.rootIsArray && !m_staged.stopped; }

    bool scalar()
    {
        // A scalar root is not an array; a scalar element stops the array.
        if (m_depth == 1 && readingElements()) {
            ++m_elementCount;
            stop(CtvkParsePlcCommon::ElementNotObject);
        }
        return true;
    }

    void stop(CtvkParsePlcCommon::ReadError why)
    {
        m_staged.stopped = true;
        m_staged.stop = why;
        m_staged.stopElement = m_elementCount - 1;
    }

    void startElement()
    {
        ++m_elementCount;
        m_building = true;
    }

    void finishElement()
    {
        const CtvkParsePlcCommon::ReadError why = readElement(m_element.value(), m_staged);
        if (why != CtvkParsePlcCommon::NoError)
            stop(why);
        m_building = false;
        m_element.clear();
        // Keeps the handler's own chunk: most elements fit in it, so the
        // allocator does not go back to the heap for each of them.
        m_allocator.Clear();
    }

    static constexpr std::size_t kChunkSizeBytes = 64 * 1024;
    StagedScript& m_staged;
    std::unique_ptr<char[]> m_chunk;   // on the heap: the caller's stack may be small
    rapidjson::MemoryPoolAllocator<> m_allocator;
    ElementBuilder m_element{m_allocator};
    unsigned int m_depth = 0;
    bool m_building = false;
    bool m_tooDeep = false;
    std::size_t m_elementCount = 0;   // root elements begun so far
};

} // namespace

bool CtvkPlcScriptReader::readText(CtvkParsePlcCommon& target, char* text, std::size_t length)
{
    StagedScript staged;
    TvkPlc::CtvkConvertErrorDeferral messages;
    {
        // Recursive parse: RootHandler stops it at the nesting limit.
        // A plain in-place string stream: unlike the length-taking parse it
        // does not skip a byte-order mark, which is not whitespace in a
        // script. Parsing in place saves copying every key and string.
        rapidjson::InsituStringStream stream(text);
        RootHandler handler(staged);
        rapidjson::Reader reader;
        const rapidjson::ParseResult result =
            reader.Parse<rapidjson::kParseInsituFlag>(stream, handler);
        if (handler.tooDeep()) {
            target.setError(CtvkParsePlcCommon::TooDeep,
                            "nested deeper than " + std::to_string(CtvkParsePlcCommon::kMaxNestingLevels) + " levels",
                            result.Offset() - 1);   // the bracket one level too deep
            return false;
        }
        if (result.IsError()) {
            std::string why = rapidjson::GetParseError_En(result.Code());
            if (!why.empty() && why.back() == '.')
                why.pop_back();
            target.setError(CtvkParsePlcCommon::SyntaxError, why, result.Offset());
            return false;
        }
        // The stream ends at the first zero byte; one inside the file must
        // not cut the text short into something valid.
        if (stream.Tell() != length) {
            target.setError(CtvkParsePlcCommon::SyntaxError, "a zero byte ends the text early", stream.Tell());
            return false;
        }
    }
    if (!staged.rootIsArray) {
        // Parsing in place rewrites only the inside of strings: the blanks
        // before the root value are as they were.
        std::size_t root = 0;
        while (root < length && (text[root] == ' ' || text[root] == '\t' || text[root] == '\n' || text[root] == '\r'))
            ++root;
        target.setError(CtvkParsePlcCommon::RootNotArray, "the root is not an array", root);
        return false;
    }

    for (std::size_t i = 0; i < messages.count(); ++i)
        TvkPlc::printLine("Data Type Convert Error .....");
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
    if (staged.stopped) {
        static const char* const why[] = {
            "root element is not an object; the elements after it are not read",
            "section body (\"Type\") is not an object; the elements after it are not read",
            "section body without an unsigned \"ID\"; the elements after it are not read"};
        const int which = staged.stop - CtvkParsePlcCommon::ElementNotObject;
        target.setError(staged.stop, "root element " + std::to_string(staged.stopElement) + ": " + why[which],
                        0, staged.stopElement);
        return true;
    }

    if (target.m_protocol.isValid()) {
        // to_string: decimal even if the host left std::cout in another base.
        TvkPlc::printLine("parse version: " + std::to_string(target.m_protocol.version()));
        target.m_lineStatus.setVersion(target.m_protocol.version());
        target.m_lineStatus.setPriv(target.m_protocol.priv());
    }
    target.valid = true;
    return true;
}

} // namespace Quorvan
