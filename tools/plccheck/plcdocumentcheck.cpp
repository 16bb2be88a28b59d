#include "plcdocumentcheck.h"

#include "tvkparseplccommon.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <map>
#include <set>

namespace {

using rapidjson::Value;

// Hands SAX events on to the document being built, and refuses documents
// nested deeper than the library accepts: one pass both checks and builds.
struct DepthLimitedBuilder {
    rapidjson::Document& doc;
    unsigned int depth = 0;
    bool tooDeep = false;

    bool enter()
    {
        tooDeep = ++depth > Quorvan::CtvkParsePlcCommon::maxNestingDepth;
        return !tooDeep;
    }
    bool Null() { return doc.Null(); }
    bool Bool(bool b) { return doc.Bool(b); }
    bool Int(int i) { return doc.Int(i); }
    bool Uint(unsigned u) { return doc.Uint(u); }
    bool Int64(int64_t i) { return doc.Int64(i); }
    bool Uint64(uint64_t u) { return doc.Uint64(u); }
    bool Double(double d) { return doc.Double(d); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) { return doc.RawNumber(s, n, copy); }
    bool String(const char* s, rapidjson::SizeType n, bool copy) { return doc.String(s, n, copy); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) { return doc.Key(s, n, copy); }
    bool StartObject() { return enter() && doc.StartObject(); }
    bool StartArray() { return enter() && doc.StartArray(); }
    bool EndObject(rapidjson::SizeType n) { --depth; return doc.EndObject(n); }
    bool EndArray(rapidjson::SizeType n) { --depth; return doc.EndArray(n); }
};

class Checker {
public:
    PlcFindings findings;

    void root(const Value& root);

private:
    // Findings go to the element being walked, so that those of a section
    // that a later element replaces can be discarded with it.
    PlcFindings* m_out = &findings;

    void problem(const std::string& place, const std::string& text) { m_out->problems.push_back({place, text}); }
    void dropped(const std::string& place, const std::string& text) { m_out->dropped.push_back({place, text}); }
    void note(const std::string& place, const std::string& text) { m_out->notes.push_back({place, text}); }

    enum Section { ProtocolSection, ActualSection, LineStatusSection, MoldSetSection, SectionCount };
    bool element(const Value& e, const std::string& place, int& section);

    static std::string at(const std::string& place, std::size_t i) { return place + "[" + std::to_string(i) + "]"; }
    static std::string key(const std::string& place, const char* k) { return place + "." + k; }

    // The reader applies members in order, so the last one with a key decides.
    static const Value* last(const Value& object, const char* k)
    {
        const Value* found = nullptr;
        for (const auto& m : object.GetObject())
            if (m.name == k)
                found = &m.value;
        return found;
    }

    bool filledObject(const Value& v, const std::string& place, const char* what)
    {
        if (!v.IsObject()) {
            problem(place, std::string(what) + " is not an object");
            return false;
        }
        if (v.ObjectEmpty()) {
            problem(place, std::string(what) + " is an empty object");
            return false;
        }
        return true;
    }

    void unsignedScalars(const Value& object, const std::string& place, std::initializer_list<const char*> keys)
    {
        for (const auto& m : object.GetObject())
            for (const char* k : keys)
                if (m.name == k && !m.value.IsUint())
                    note(key(place, k), "not an unsigned 32-bit integer; ignored");
    }

    void identifierList(const Value& object, const char* k, const std::string& owner)
    {
        const std::string place = key(owner, k);
        const Value* v = last(object, k);
        if (!v)
            return problem(owner, std::string("no \"") + k + "\" list");
        if (!v->IsArray() || v->Empty())
            return problem(place, "identifier list is not a non-empty array");
        for (rapidjson::SizeType i = 0; i < v->Size(); ++i)
            if (!(*v)[i].IsUint())
                return problem(at(place, i), "not an unsigned 32-bit integer; the list stops here");
    }

    void wordList(const Value& object, const char* k, const std::string& owner)
    {
        const std::string place = key(owner, k);
        const Value* v = last(object, k);
        if (!v)
            return problem(owner, std::string("no \"") + k + "\" list");
        if (!v->IsArray() || v->Empty())
            return problem(place, "word list is not a non-empty array");
        for (rapidjson::SizeType i = 0; i < v->Size(); ++i) {
            const Value& e = (*v)[i];
            if (!(e.IsInt() || e.IsUint() || e.IsDouble()))
                return problem(at(place, i), "not a 32-bit integer or a fractional number; the list stops here");
        }
    }

    void endpoint(const Value& protocol, const char* k, const std::string& owner)
    {
        const Value* v = last(protocol, k);
        if (!v)
            return problem(owner, std::string("no \"") + k + "\" endpoint");
        const std::string place = key(owner, k);
        if (!filledObject(*v, place, "endpoint"))
            return;
        unsignedScalars(*v, place, {"Port"});
        for (const auto& m : v->GetObject())
            if (m.name == "IP" && !m.value.IsString())
                note(key(place, "IP"), "not a string; ignored");
    }

    void protocol(const Value& v, const std::string& place)
    {
        if (!filledObject(v, place, "protocol"))
            return;
        unsignedScalars(v, place, {"Version", "Private"});
        endpoint(v, "Src", place);
        endpoint(v, "Host", place);
    }

    void moldSet(const Value& body, const std::string& place)
    {
        std::set<unsigned int> types;
        for (const auto& m : body.GetObject()) {
            if (m.name == "ID" && !m.value.IsUint())
                note(key(place, "ID"), "not an unsigned 32-bit integer; ignored");
            if (!(m.name == "MoldList"))
                continue;
            const std::string list = key(place, "MoldList");
            if (!m.value.IsArray())
                return problem(list, "mold list is not an array; the mold set stops here");
            for (rapidjson::SizeType i = 0; i < m.value.Size(); ++i) {
                const Value& block = m.value[i];
                const std::string bp = at(list, i);
                if (!block.IsObject())
                    return problem(bp, "mold block is not an object; the mold set stops here");
                const auto type = block.FindMember("Type");
                if (type == block.MemberEnd() || !type->value.IsUint())
                    return problem(bp, "mold block without an unsigned \"Type\"; the mold set stops here");
                if (!types.insert(type->value.GetUint()).second) {
                    // Its lists never reach the result, so they are not judged.
                    dropped(bp, "block of type " + std::to_string(type->value.GetUint()) +
                                    " dropped: an earlier block has that type");
                    continue;
                }
                identifierList(block, "DataIDList", bp);
                identifierList(block, "DataTypeList", bp);
                identifierList(block, "DataStateList", bp);
                wordList(block, "DataValueList", bp);
            }
        }
    }

    void condition(const Value& v, const std::string& place)
    {
        unsignedScalars(v, place, {"Type"});
        wordList(v, "Params", place);
    }

    void feature(const Value& trigger, const char* k, const std::string& owner)
    {
        const Value* v = last(trigger, k);
        if (!v)
            return problem(owner, std::string("no \"") + k + "\"");
        const std::string place = key(owner, k);
        if (!v->IsArray())
            return problem(place, "condition tree is not an array");
        for (rapidjson::SizeType i = 0; i < v->Size(); ++i) {
            const Value& set = (*v)[i];
            const std::string sp = at(place, i);
            if (!set.IsObject()) {
                problem(sp, "parameter set is not an object");
                continue;
            }
            const auto list = set.FindMember("Condition");
            if (list == set.MemberEnd() || !list->value.IsArray()) {
                problem(sp, "parameter set without a \"Condition\" array");
                continue;
            }
            const std::string lp = key(sp, "Condition");
            for (rapidjson::SizeType j = 0; j < list->value.Size(); ++j) {
                const Value& c = list->value[j];
                if (!c.IsObject()) {
                    problem(at(lp, j), "condition is not an object; the parameter set stops here");
                    break;
                }
                if (c.ObjectEmpty())
                    dropped(at(lp, j), "empty condition dropped");
                else
                    condition(c, at(lp, j));
            }
        }
    }

    void trigger(const Value& body, const std::string& place)
    {
        unsignedScalars(body, place, {"GroupID", "OutTime", "DelayTime", "SendCount", "DataIDFlag"});
        identifierList(body, "DataIDList", place);
        feature(body, "StartTrigger", place);
        feature(body, "SendTrigger", place);
        feature(body, "StopTrigger", place);
    }
};

// Walks one root element; returns false when it stops the array. section
// tells which held section the element replaces, if any.
bool Checker::element(const Value& e, const std::string& place, int& section)
{
    section = SectionCount;
    if (!e.IsObject()) {
        problem(place, "element is not an object; the elements after it are not read");
        return false;
    }
    const auto type = e.FindMember("Type");
    if (type == e.MemberEnd()) {
        if (!e.HasMember("Protocol")) {
            note(place, "neither \"Type\" nor \"Protocol\"; skipped");
            return true;
        }
        section = ProtocolSection;
        protocol(e["Protocol"], key(place, "Protocol"));
        return true;
    }
    const std::string bp = key(place, "Type");
    const Value& body = type->value;
    if (!body.IsObject()) {
        problem(bp, "section body is not an object; the elements after it are not read");
        return false;
    }
    const auto id = body.FindMember("ID");
    if (id == body.MemberEnd() || !id->value.IsUint()) {
        problem(bp, "section body without an unsigned \"ID\"; the elements after it are not read");
        return false;
    }
    switch (id->value.GetUint()) {
    case 1:
        section = ActualSection;
        unsignedScalars(body, bp, {"CycleTime"});
        identifierList(body, "DataIDList", bp);
        break;
    case 7:
        section = LineStatusSection;
        unsignedScalars(body, bp, {"CycleTime"});
        break;
    case 9:
        section = MoldSetSection;
        moldSet(body, bp);
        break;
    case 17:
        trigger(body, bp);
        break;
    default:
        note(place, "section code " + std::to_string(id->value.GetUint()) + " is not known; skipped");
        break;
    }
    return true;
}

void Checker::root(const Value& root)
{
    if (!root.IsArray())
        return problem("(root)", "the root is not an array");
    std::map<rapidjson::SizeType, PlcFindings> perElement;   // in document order
    bool held[SectionCount] = {false, false, false, false};
    rapidjson::SizeType heldAt[SectionCount] = {0, 0, 0, 0};
    bool stopped = false;
    for (rapidjson::SizeType i = 0; i < root.Size() && !stopped; ++i) {
        m_out = &perElement[i];
        int section = SectionCount;
        stopped = !element(root[i], at("", i), section);
        if (section == SectionCount)
            continue;
        // A later section replaces the earlier one whole, findings included.
        if (held[section])
            perElement.erase(heldAt[section]);
        held[section] = true;
        heldAt[section] = i;
    }
    m_out = &findings;
    for (auto& entry : perElement) {
        PlcFindings& f = entry.second;
        findings.problems.insert(findings.problems.end(), f.problems.begin(), f.problems.end());
        findings.dropped.insert(findings.dropped.end(), f.dropped.begin(), f.dropped.end());
        findings.notes.insert(findings.notes.end(), f.notes.begin(), f.notes.end());
    }
    if (stopped)
        return;
    const char* missing[SectionCount] = {"no protocol element", "no actual-data section (code 1)",
                                         "no line-status section (code 7)", "no mold set (code 9)"};
    for (int s = 0; s < SectionCount; ++s)
        if (!held[s])
            problem("(root)", missing[s]);
}

} // namespace

bool plcParseDocument(const std::string& text, rapidjson::Document& doc, std::string& error)
{
    rapidjson::StringStream stream(text.c_str());
    rapidjson::ParseResult result;
    bool tooDeep = false;
    // Populate keeps the value only when the generator answers true.
    auto generate = [&](rapidjson::Document& target) {
        DepthLimitedBuilder builder{target};
        rapidjson::Reader reader;
        result = reader.Parse<rapidjson::kParseIterativeFlag>(stream, builder);
        tooDeep = builder.tooDeep;
        return !result.IsError();
    };
    doc.Populate(generate);
    if (tooDeep) {
        error = "nested deeper than " + std::to_string(Quorvan::CtvkParsePlcCommon::maxNestingDepth) + " levels";
        return false;
    }
    if (result.IsError()) {
        error = std::string(rapidjson::GetParseError_En(result.Code())) + " at byte " + std::to_string(result.Offset());
        return false;
    }
    if (stream.Tell() != text.size()) {
        error = "a zero byte at byte " + std::to_string(stream.Tell()) + " ends the text early";
        return false;
    }
    return true;
}

PlcFindings plcCheckDocument(const rapidjson::Value& root)
{
    Checker c;
    c.root(root);
    return std::move(c.findings);
}
