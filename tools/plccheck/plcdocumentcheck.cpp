#include "plcdocumentcheck.h"

#include "tvkparseplccommon.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <set>

namespace {

using rapidjson::Value;

// Refuses documents nested deeper than the library accepts.
struct DepthLimit : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DepthLimit> {
    unsigned int depth = 0;
    bool tooDeep = false;
    bool enter()
    {
        tooDeep = ++depth > Quorvan::CtvkParsePlcCommon::maxNestingDepth;
        return !tooDeep;
    }
    bool StartObject() { return enter(); }
    bool StartArray() { return enter(); }
    bool EndObject(rapidjson::SizeType) { --depth; return true; }
    bool EndArray(rapidjson::SizeType) { --depth; return true; }
};

class Checker {
public:
    PlcFindings findings;

    void root(const Value& root);

private:
    void problem(const std::string& place, const std::string& text) { findings.problems.push_back({place, text}); }
    void dropped(const std::string& place, const std::string& text) { findings.dropped.push_back({place, text}); }
    void note(const std::string& place, const std::string& text) { findings.notes.push_back({place, text}); }

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
                if (!types.insert(type->value.GetUint()).second)
                    dropped(bp, "block of type " + std::to_string(type->value.GetUint()) +
                                    " dropped: an earlier block has that type");
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

void Checker::root(const Value& root)
{
    if (!root.IsArray())
        return problem("(root)", "the root is not an array");
    bool seen[4] = {false, false, false, false};   // protocol, actual, line status, mold set
    for (rapidjson::SizeType i = 0; i < root.Size(); ++i) {
        const Value& e = root[i];
        const std::string place = at("", i);
        if (!e.IsObject())
            return problem(place, "element is not an object; the elements after it are not read");
        const auto type = e.FindMember("Type");
        if (type != e.MemberEnd()) {
            const std::string bp = key(place, "Type");
            const Value& body = type->value;
            if (!body.IsObject())
                return problem(bp, "section body is not an object; the elements after it are not read");
            const auto id = body.FindMember("ID");
            if (id == body.MemberEnd() || !id->value.IsUint())
                return problem(bp, "section body without an unsigned \"ID\"; the elements after it are not read");
            switch (id->value.GetUint()) {
            case 1:
                seen[1] = true;
                unsignedScalars(body, bp, {"CycleTime"});
                identifierList(body, "DataIDList", bp);
                break;
            case 7:
                seen[2] = true;
                unsignedScalars(body, bp, {"CycleTime"});
                break;
            case 9:
                seen[3] = true;
                moldSet(body, bp);
                break;
            case 17:
                trigger(body, bp);
                break;
            default:
                note(place, "section code " + std::to_string(id->value.GetUint()) + " is not known; skipped");
                break;
            }
        } else if (e.HasMember("Protocol")) {
            seen[0] = true;
            protocol(e["Protocol"], key(place, "Protocol"));
        } else {
            note(place, "neither \"Type\" nor \"Protocol\"; skipped");
        }
    }
    const char* missing[4] = {"no protocol element", "no actual-data section (code 1)",
                              "no line-status section (code 7)", "no mold set (code 9)"};
    for (int s = 0; s < 4; ++s)
        if (!seen[s])
            problem("(root)", missing[s]);
}

} // namespace

bool plcParseDocument(const std::string& text, rapidjson::Document& doc, std::string& error)
{
    {
        DepthLimit limit;
        rapidjson::Reader reader;
        rapidjson::StringStream stream(text.c_str());
        const rapidjson::ParseResult r = reader.Parse<rapidjson::kParseIterativeFlag>(stream, limit);
        if (limit.tooDeep) {
            error = "nested deeper than " + std::to_string(Quorvan::CtvkParsePlcCommon::maxNestingDepth) + " levels";
            return false;
        }
        if (r.IsError()) {
            error = std::string(rapidjson::GetParseError_En(r.Code())) + " at byte " + std::to_string(r.Offset());
            return false;
        }
        if (stream.Tell() != text.size()) {
            error = "a zero byte at byte " + std::to_string(stream.Tell()) + " ends the text early";
            return false;
        }
    }
    rapidjson::StringStream stream(text.c_str());
    doc.ParseStream<rapidjson::kParseIterativeFlag>(stream);
    return !doc.HasParseError();
}

PlcFindings plcCheckDocument(const rapidjson::Value& root)
{
    Checker c;
    c.root(root);
    return std::move(c.findings);
}
