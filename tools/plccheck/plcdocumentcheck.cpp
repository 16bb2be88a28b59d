// SPDX-License-Identifier: MIT
#include "plcdocumentcheck.h"

#include "tvktoolspelling.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <utility>

using namespace Quorvan;

namespace {

using rapidjson::SizeType;
using rapidjson::Value;
using Steps = std::vector<std::uint32_t>;

constexpr unsigned int kMaxPort = 65535;
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
// The longest a timer of the panel can wait: its interval is an int.
constexpr unsigned int kMaxCycleTimeMs = INT_MAX;

// Document text made safe for one output line: a control character in a
// key or an address would break the FILE:LINE:COLUMN lines editors read.
std::string printable(const char* s, std::size_t n)
{
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", c);
        out += escape;
    }
    return out;
}

std::string sectionName(CtvkParsePlcCommon::SectionCode code)
{
    const char* what = "section";
    switch (code) {
    case CtvkParsePlcCommon::ActualSection:
        what = "actual-data section";
        break;
    case CtvkParsePlcCommon::LineStatusSection:
        what = "line-status section";
        break;
    case CtvkParsePlcCommon::MoldSetSection:
        what = "mold set";
        break;
    case CtvkParsePlcCommon::TriggerSection:
        what = "trigger";
        break;
    }
    return std::string(what) + " (code " + std::to_string(static_cast<unsigned int>(code)) + ")";
}

// A place in the document: its JSON path for people, and the ordinal of each
// child on the way down (array index, or member position in an object) for
// finding its offset in the text.
struct Place {
    std::string text;
    Steps steps;

    Place at(SizeType i) const
    {
        Place p{text + "[" + std::to_string(i) + "]", steps};
        p.steps.push_back(i);
        return p;
    }
    Place member(const Value& object, Value::ConstMemberIterator m) const
    {
        Place p{text + "." + printable(m->name.GetString(), m->name.GetStringLength()), steps};
        p.steps.push_back(static_cast<std::uint32_t>(m - object.MemberBegin()));
        return p;
    }
};

// A value that the reader of an unsigned field does not take, as the
// author wrote it (a string is quoted and called one: "200" looks like a
// number in the file).
std::string notUnsigned(const Value& v)
{
    std::string shown;
    if (v.IsString()) {
        shown = "\"" + printable(v.GetString(), v.GetStringLength()) + "\" is a string,";
    } else if (v.IsInt64()) {
        shown = std::to_string(v.GetInt64()) + " is";
    } else if (v.IsUint64()) {
        shown = std::to_string(v.GetUint64()) + " is";
    } else if (v.IsNumber()) {
        char number[32];
        char* end = std::to_chars(number, number + sizeof number, v.GetDouble()).ptr;
        shown = std::string(number, static_cast<std::size_t>(end - number)) + " is";
    } else if (v.IsBool()) {
        shown = v.GetBool() ? "true is" : "false is";
    } else if (v.IsNull()) {
        shown = "null is";
    } else {
        shown = v.IsObject() ? "an object is" : "an array is";
    }
    return shown + " not an unsigned 32-bit integer";
}

// A scalar key and what the reader holds for it.
struct Held {
    const char* key;
    unsigned long long value;
};

struct Pending {
    PlcFinding::Severity severity;
    Place place;
    std::string text;
};

// The member that a reader applying members in order ends up with.
Value::ConstMemberIterator lastMember(const Value& object, const char* key)
{
    Value::ConstMemberIterator found = object.MemberEnd();
    for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m)
        if (m->name == key)
            found = m;
    return found;
}

class Explainer {
public:
    explicit Explainer(const CtvkParsePlcCommon& script) : m_script(script) {}
    std::vector<Pending> findings;
    PlcFloatWords floatWords;

    void root(const Value& root);

private:
    enum Kind { Skipped, Protocol, Actual, LineStatus, MoldSet, Trigger, Unknown };

    const CtvkParsePlcCommon& m_script;

    void error(const Place& p, const std::string& text) { findings.push_back({PlcFinding::Error, p, text}); }
    void warning(const Place& p, const std::string& text) { findings.push_back({PlcFinding::Warning, p, text}); }

    static Kind kind(const Value& element, unsigned int& code);
    static std::string heldName(Kind k);
    void stop(const Value& element, const Place& place);
    void elementKeys(const Value& element, const Place& place, bool typed);
    void protocol(const Value& element, const Place& place);
    void mold(const Value& body, const Place& place);
    void trigger(const Value& body, const Place& place, const CtvkParseTrigger& held);
    void feature(const Value& body, const Place& place, const char* key, const CtvkParseTriggerFeature& held);
    void paramSet(const Value& set, const Place& place, const CtvkParseTriggerParamSet& held);

    // Members of an unsigned field that the reader skips, with what it
    // keeps instead.
    void ignoredScalars(const Value& object, const Place& place, std::initializer_list<Held> fields)
    {
        for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m)
            for (const Held& f : fields)
                if (m->name == f.key && !m->value.IsUint())
                    warning(place.member(object, m), notUnsigned(m->value) + "; the reader ignores it and keeps "
                                                         + std::to_string(f.value));
    }

    // A cycle time the reader took that no timer of the panel can keep.
    void cycleTime(const Value& body, const Place& place, unsigned int held)
    {
        auto kept = body.MemberEnd();
        for (auto m = body.MemberBegin(); m != body.MemberEnd(); ++m)
            if (m->name == "CycleTime" && m->value.IsUint())
                kept = m;
        if (kept == body.MemberEnd())
            return;   // the default, which a panel can keep
        if (held == 0)
            warning(place.member(body, kept), "cycle time 0 ms: nothing can run every 0 ms");
        else if (held > kMaxCycleTimeMs)
            warning(place.member(body, kept), "cycle time " + std::to_string(held)
                                                  + " ms is longer than a timer can wait ("
                                                  + std::to_string(kMaxCycleTimeMs) + " ms)");
    }

    // Identifier 0 stands for "nothing bound": a list that names it binds
    // nothing there.
    void zeroIdentifiers(const Value& owner, const Place& place, const char* key, const CtvkParseArray& held)
    {
        const auto m = lastMember(owner, key);
        if (m == owner.MemberEnd() || !m->value.IsArray())
            return;
        const Place lp = place.member(owner, m);
        for (std::size_t i = 0; i < held.array().size() && i < m->value.Size(); ++i)
            if (held.array()[i] == 0)
                warning(lp.at(static_cast<SizeType>(i)), "identifier 0 stands for nothing bound");
    }

    // A block's four lists describe one datum per place: lists of other
    // lengths leave data without a type, a state or a value.
    void parallelLists(const Value& block, const Place& place, const CtvkParseMoldBlock& held)
    {
        const std::pair<const char*, std::size_t> lists[] = {
            {"DataIDList", held.dataIDSet().array().size()},
            {"DataTypeList", held.dataTypeSet().array().size()},
            {"DataStateList", held.dataStateSet().array().size()},
            {"DataValueList", held.dataValueSet().array().size()}};
        const bool valid[] = {held.dataIDSet().isValid(), held.dataTypeSet().isValid(),
                              held.dataStateSet().isValid(), held.dataValueSet().isValid()};
        if (!valid[0])
            return;   // already an error
        for (std::size_t i = 1; i < 4; ++i) {
            if (!valid[i] || lists[i].second == lists[0].second)
                continue;
            const auto m = lastMember(block, lists[i].first);
            warning(place.member(block, m), std::string(lists[i].first) + " has " + std::to_string(lists[i].second)
                                                + " entries and DataIDList " + std::to_string(lists[0].second)
                                                + ": the lists of a block go side by side");
        }
    }

    // Members whose key the reader of this object does not act on; a
    // misspelt known key is named.
    void unknownKeys(const Value& object, const Place& place, std::initializer_list<const char*> known)
    {
        for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
            if (std::any_of(known.begin(), known.end(), [&](const char* k) { return m->name == k; }))
                continue;
            const std::string meant = tvktool::nearestName(std::string(m->name.GetString(), m->name.GetStringLength()),
                                                           std::vector<std::string>(known.begin(), known.end()));
            warning(place.member(object, m),
                    meant.empty() ? std::string("unknown key; ignored")
                                  : "unknown key; ignored (did you mean \"" + meant + "\"?)");
        }
    }

    // Explains a list that the library holds not valid. taken is how many
    // elements the library took before it gave up on the list.
    void list(const Value& owner, const Place& place, const char* key, bool valid, std::size_t taken,
              const char* what, const char* element)
    {
        if (valid)
            return;
        const auto m = lastMember(owner, key);
        if (m == owner.MemberEnd())
            return error(place, std::string("no \"") + key + "\" " + what);
        const Place lp = place.member(owner, m);
        const Value& v = m->value;
        if (!v.IsArray())
            return error(lp, std::string(what) + " is not an array");
        if (v.Empty())
            return error(lp, std::string(what) + " is empty");
        if (taken < v.Size())
            return error(lp.at(static_cast<SizeType>(taken)), std::string(element) + "; the list stops here");
        error(lp, std::string(what) + " is not valid");
    }

    void identifiers(const Value& owner, const Place& place, const char* key, const CtvkParseArray& held)
    {
        list(owner, place, key, held.isValid(), held.array().size(), "identifier list",
             "not an unsigned 32-bit integer");
    }

    void words(const Value& owner, const Place& place, const char* key, const CtvkParseParamsArray& held)
    {
        list(owner, place, key, held.isValid(), held.array().size(), "word list",
             "not a 32-bit integer or a fractional number");
    }

    // Marks the words of a list the script holds that were written as
    // fractional numbers: the reader stored their single-precision bits.
    void markFloats(const Value& owner, const char* key, const CtvkParseParamsArray& held)
    {
        const auto m = lastMember(owner, key);
        if (m == owner.MemberEnd() || !m->value.IsArray())
            return;
        std::vector<bool> marks(held.array().size(), false);
        bool any = false;
        for (SizeType i = 0; i < m->value.Size() && i < marks.size(); ++i) {
            marks[i] = m->value[i].IsDouble();
            any = any || marks[i];
        }
        if (any)
            floatWords[&held] = marks;
    }

    // Why an object reader left its part not valid.
    void notFilled(const Value& v, const Place& place, const char* what)
    {
        if (!v.IsObject())
            error(place, std::string(what) + " is not an object");
        else
            error(place, std::string(what) + " is an empty object");
    }

    void endpoint(const Value& protocol, const Place& place, const char* key, const CtvkParseProtocolData& held)
    {
        const auto m = lastMember(protocol, key);
        if (m == protocol.MemberEnd()) {
            if (!held.isValid())
                error(place, std::string("no \"") + key + "\" endpoint");
            return;
        }
        const Place ep = place.member(protocol, m);
        const Value& e = m->value;
        if (!held.isValid())
            return notFilled(e, ep, "endpoint");
        ignoredScalars(e, ep, {{"Port", held.port()}});
        unknownKeys(e, ep, {"IP", "Port"});
        // The members the reader kept: the last of each key with the right type.
        auto ip = e.MemberEnd();
        auto port = e.MemberEnd();
        for (auto f = e.MemberBegin(); f != e.MemberEnd(); ++f) {
            if (f->name == "IP") {
                if (f->value.IsString())
                    ip = f;
                else
                    warning(ep.member(e, f), "not a string; ignored");
            } else if (f->name == "Port" && f->value.IsUint()) {
                port = f;
            }
        }
        // Judged on what the library holds, which a host would connect to.
        in_addr address{};
        if (::inet_pton(AF_INET, held.ip().c_str(), &address) != 1) {
            if (ip == e.MemberEnd())
                warning(ep, "no \"IP\": the endpoint has no IPv4 address");
            else
                warning(ep.member(e, ip),
                        "\"" + printable(held.ip().data(), held.ip().size()) + "\" is not an IPv4 address");
        }
        if (held.port() == 0 || held.port() > kMaxPort)
            warning(port == e.MemberEnd() ? ep : ep.member(e, port),
                    "port " + std::to_string(held.port()) + " is outside 1.." + std::to_string(kMaxPort));
    }
};

Explainer::Kind Explainer::kind(const Value& element, unsigned int& code)
{
    // Only called for elements the library read, which are all objects and
    // whose section bodies all hold an unsigned "ID".
    const auto type = element.FindMember("Type");
    if (type == element.MemberEnd())
        return element.HasMember("Protocol") ? Protocol : Skipped;
    code = type->value.FindMember("ID")->value.GetUint();
    switch (code) {
    case CtvkParsePlcCommon::ActualSection:
        return Actual;
    case CtvkParsePlcCommon::LineStatusSection:
        return LineStatus;
    case CtvkParsePlcCommon::MoldSetSection:
        return MoldSet;
    case CtvkParsePlcCommon::TriggerSection:
        return Trigger;
    default:
        return Unknown;
    }
}

std::string Explainer::heldName(Kind k)
{
    switch (k) {
    case Actual:
        return sectionName(CtvkParsePlcCommon::ActualSection);
    case LineStatus:
        return sectionName(CtvkParsePlcCommon::LineStatusSection);
    case MoldSet:
        return sectionName(CtvkParsePlcCommon::MoldSetSection);
    default:
        return "protocol element";
    }
}

// The element the library names as the one that stopped the reading.
void Explainer::stop(const Value& element, const Place& place)
{
    const char* after = "; the elements after it are not read";
    switch (m_script.error()) {
    case CtvkParsePlcCommon::ElementNotObject:
        return error(place, std::string("element is not an object") + after);
    case CtvkParsePlcCommon::SectionNotObject: {
        const auto type = element.FindMember("Type");
        return error(place.member(element, type), std::string("section body is not an object") + after);
    }
    default: {
        const auto type = element.FindMember("Type");
        const Value& body = type->value;
        const auto id = body.FindMember("ID");
        if (id == body.MemberEnd())
            return error(place.member(element, type), std::string("section body without an \"ID\"") + after);
        return error(place.member(element, type).member(body, id),
                     std::string("section code is not an unsigned 32-bit integer") + after);
    }
    }
}

// A root element is read through one member, the first "Type" (a section)
// or else the first "Protocol"; the rest of it is ignored.
void Explainer::elementKeys(const Value& element, const Place& place, bool typed)
{
    const char* chooser = typed ? "Type" : "Protocol";
    const auto chosen = element.FindMember(chooser);
    for (auto m = element.MemberBegin(); m != element.MemberEnd(); ++m) {
        if (m == chosen)
            continue;
        if (m->name == chooser)
            warning(place.member(element, m), std::string("ignored: only the first \"") + chooser + "\" counts");
        else if (typed && m->name == "Protocol")
            warning(place.member(element, m), "ignored: the element is a section, chosen by its \"Type\"");
        else
            warning(place.member(element, m), "unknown key; ignored");
    }
}

void Explainer::protocol(const Value& element, const Place& place)
{
    elementKeys(element, place, false);
    const auto m = element.FindMember("Protocol");
    const Place pp = place.member(element, m);
    const CtvkParseProtocol& held = m_script.protocol();
    if (!held.isValid())
        return notFilled(m->value, pp, "protocol");
    ignoredScalars(m->value, pp, {{"Version", held.version()}, {"Private", held.priv()}});
    unknownKeys(m->value, pp, {"Version", "Private", "Src", "Host"});
    endpoint(m->value, pp, "Src", held.source());
    endpoint(m->value, pp, "Host", held.host());
}

void Explainer::mold(const Value& body, const Place& place)
{
    const CtvkParseMoldSet& held = m_script.moldSet();
    ignoredScalars(body, place, {{"ID", held.ID()}});
    unknownKeys(body, place, {"ID", "MoldList"});
    std::set<unsigned int> types;
    for (auto m = body.MemberBegin(); m != body.MemberEnd(); ++m) {
        if (!(m->name == "MoldList"))
            continue;
        const Place lp = place.member(body, m);
        const Value& blocks = m->value;
        const char* stops = "; the mold set stops here";
        if (!blocks.IsArray())
            return error(lp, std::string("mold list is not an array") + stops);
        for (SizeType i = 0; i < blocks.Size(); ++i) {
            const Value& block = blocks[i];
            const Place bp = lp.at(i);
            if (!block.IsObject())
                return error(bp, std::string("mold block is not an object") + stops);
            const auto type = block.FindMember("Type");
            if (type == block.MemberEnd() || !type->value.IsUint())
                return error(bp, std::string("mold block without an unsigned \"Type\"") + stops);
            const unsigned int key = type->value.GetUint();
            const auto kept = held.moldList().find(key);
            if (!types.insert(key).second) {
                // Its lists never reach the result, so they are not judged.
                warning(bp, "block of type " + std::to_string(key) + " dropped: an earlier block has that type");
                continue;
            }
            if (kept == held.moldList().end())
                continue;
            const CtvkParseMoldBlock& b = kept->second;
            ignoredScalars(block, bp, {{"Type", b.type()}});
            unknownKeys(block, bp, {"Type", "DataIDList", "DataTypeList", "DataStateList", "DataValueList"});
            identifiers(block, bp, "DataIDList", b.dataIDSet());
            identifiers(block, bp, "DataTypeList", b.dataTypeSet());
            identifiers(block, bp, "DataStateList", b.dataStateSet());
            words(block, bp, "DataValueList", b.dataValueSet());
            zeroIdentifiers(block, bp, "DataIDList", b.dataIDSet());
            parallelLists(block, bp, b);
        }
    }
}

void Explainer::paramSet(const Value& set, const Place& place, const CtvkParseTriggerParamSet& held)
{
    if (!set.IsObject())
        return error(place, "parameter set is not an object");
    // The first "Condition" is the one read.
    const auto list = set.FindMember("Condition");
    for (auto m = set.MemberBegin(); m != set.MemberEnd(); ++m) {
        if (m == list)
            continue;
        if (m->name == "Condition")
            warning(place.member(set, m), "ignored: only the first \"Condition\" counts");
        else
            warning(place.member(set, m), "unknown key; ignored");
    }
    if (list == set.MemberEnd() || !list->value.IsArray())
        return error(place, "parameter set without a \"Condition\" array");
    const Place lp = place.member(set, list);
    std::size_t taken = 0;   // conditions the set holds so far
    for (SizeType i = 0; i < list->value.Size(); ++i) {
        const Value& c = list->value[i];
        if (!c.IsObject()) {
            if (!held.isValid())
                error(lp.at(i), "condition is not an object; the parameter set stops here");
            return;
        }
        const CtvkParseTriggerCondition fresh(c);
        if (!fresh.isValid()) {
            warning(lp.at(i), "empty condition dropped");
            continue;
        }
        ignoredScalars(c, lp.at(i), {{"Type", fresh.type()}});
        unknownKeys(c, lp.at(i), {"Type", "Params"});
        if (taken >= held.conditions().size()) {
            words(c, lp.at(i), "Params", fresh.params());
            continue;
        }
        const CtvkParseParamsArray& params = held.conditions()[taken++].params();
        words(c, lp.at(i), "Params", params);
        markFloats(c, "Params", params);
    }
}

void Explainer::feature(const Value& body, const Place& place, const char* key, const CtvkParseTriggerFeature& held)
{
    const auto m = lastMember(body, key);
    if (m == body.MemberEnd())
        return error(place, std::string("no \"") + key + "\"");
    const Place fp = place.member(body, m);
    if (!held.isValid())
        return error(fp, "condition tree is not an array");
    for (SizeType i = 0; i < m->value.Size() && i < held.triggerParams().size(); ++i)
        paramSet(m->value[i], fp.at(i), held.triggerParams()[i]);
}

void Explainer::trigger(const Value& body, const Place& place, const CtvkParseTrigger& held)
{
    ignoredScalars(body, place,
                   {{"ID", held.ID()}, {"GroupID", held.groupID()}, {"OutTime", held.outTime()},
                    {"DelayTime", held.delayTime()}, {"SendCount", held.sendCount()},
                    {"DataIDFlag", held.dataIDFlag()}});
    unknownKeys(body, place,
                {"ID", "GroupID", "OutTime", "DelayTime", "SendCount", "DataIDFlag", "DataIDList", "StartTrigger",
                 "SendTrigger", "StopTrigger"});
    identifiers(body, place, "DataIDList", held.dataIDSet());
    zeroIdentifiers(body, place, "DataIDList", held.dataIDSet());
    feature(body, place, "StartTrigger", held.startTrigger());
    feature(body, place, "SendTrigger", held.sendTrigger());
    feature(body, place, "StopTrigger", held.stopTrigger());
}

void Explainer::root(const Value& root)
{
    const Place top{"", {}};
    if (m_script.error() == CtvkParsePlcCommon::RootNotArray)
        return error(top, "the root is not an array");
    const bool stopped = m_script.error() >= CtvkParsePlcCommon::ElementNotObject;
    const SizeType end = stopped ? static_cast<SizeType>(m_script.errorElement()) : root.Size();

    // The reader replaces a section whole with each element of its code, so
    // the one the result holds is the last: earlier ones are only warned
    // about, not explained.
    int held[Trigger] = {-1, -1, -1, -1, -1};
    std::vector<SizeType> triggers;
    for (SizeType i = 0; i < end && i < root.Size(); ++i) {
        unsigned int code = 0;
        const Kind k = kind(root[i], code);
        if (k == Skipped) {
            warning(top.at(i), "neither \"Type\" nor \"Protocol\"; skipped");
        } else if (k == Unknown) {
            warning(top.at(i), "section code " + std::to_string(code) + " is not known; skipped");
        } else if (k == Trigger) {
            triggers.push_back(i);
        } else {
            if (held[k] >= 0)
                warning(top.at(SizeType(held[k])),
                        heldName(k) + " replaced by the one at [" + std::to_string(i) + "]: the last one counts");
            held[k] = static_cast<int>(i);
        }
    }
    if (stopped && end < root.Size())
        stop(root[end], top.at(end));

    if (held[Protocol] >= 0)
        protocol(root[SizeType(held[Protocol])], top.at(SizeType(held[Protocol])));
    for (int k : {Actual, LineStatus, MoldSet}) {
        if (held[k] < 0)
            continue;
        const Value& element = root[SizeType(held[k])];
        const Place ep = top.at(SizeType(held[k]));
        elementKeys(element, ep, true);
        const auto type = element.FindMember("Type");
        const Place bp = ep.member(element, type);
        const Value& body = type->value;
        if (k == Actual) {
            const CtvkParseActual& actual = m_script.actual();
            ignoredScalars(body, bp, {{"ID", actual.ID()}, {"CycleTime", actual.cycleTime()}});
            unknownKeys(body, bp, {"ID", "CycleTime", "DataIDList"});
            cycleTime(body, bp, actual.cycleTime());
            identifiers(body, bp, "DataIDList", actual.dataIDSet());
            zeroIdentifiers(body, bp, "DataIDList", actual.dataIDSet());
        } else if (k == LineStatus) {
            const CtvkParseLineStatus& line = m_script.lineStatus();
            ignoredScalars(body, bp, {{"ID", line.ID()}, {"CycleTime", line.cycleTime()}});
            unknownKeys(body, bp, {"ID", "CycleTime"});
            cycleTime(body, bp, line.cycleTime());
        } else {
            mold(body, bp);
        }
    }
    // Every trigger element before a stop is held, in document order.
    for (std::size_t t = 0; t < triggers.size(); ++t) {
        const SizeType i = triggers[t];
        const Place ep = top.at(i);
        if (t >= m_script.triggers().size()) {
            warning(ep, "trigger dropped");
            continue;
        }
        elementKeys(root[i], ep, true);
        const auto type = root[i].FindMember("Type");
        trigger(type->value, ep.member(root[i], type), m_script.triggers()[t]);
    }
    // A stopped reading never gets as far as judging what is missing.
    if (stopped)
        return;
    const std::string missing[] = {std::string(), "no protocol element",
                                   "no " + sectionName(CtvkParsePlcCommon::ActualSection),
                                   "no " + sectionName(CtvkParsePlcCommon::LineStatusSection),
                                   "no " + sectionName(CtvkParsePlcCommon::MoldSetSection)};
    const bool valid[] = {true, m_script.protocol().isValid(), m_script.actual().isValid(),
                          m_script.lineStatus().isValid(), m_script.moldSet().isValid()};
    for (int k : {Protocol, Actual, LineStatus, MoldSet})
        if (held[k] < 0 && !valid[k])
            error(top, missing[k]);
}

// A string stream that the parser reads through a reference: rapidjson
// works on a private copy of its own string streams and writes the position
// back only at the end, and the locator needs it at every event.
struct PositionStream {
    using Ch = char;
    const Ch* head;
    const Ch* src;
    Ch Peek() const { return *src; }
    Ch Take() { return *src++; }
    std::size_t Tell() const { return static_cast<std::size_t>(src - head); }
    Ch* PutBegin() { return nullptr; }   // never written: not parsed in place
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }
};

// Finds where each wanted place begins in the text, in one pass of SAX
// events. An event arrives just after its token, so a value's start is where
// the container opened, or for a scalar the first byte after the previous
// token that is neither a blank nor a separator.
class Locator {
public:
    Locator(const std::set<Steps>& wanted, std::map<Steps, std::size_t>& found, const PositionStream& is)
        : m_wanted(wanted), m_found(found), m_is(is)
    {
        for (const Steps& s : wanted)
            m_maxDepth = std::max(m_maxDepth, s.size());
    }

    bool Null() { return scalar(); }
    bool Bool(bool) { return scalar(); }
    bool Int(int) { return scalar(); }
    bool Uint(unsigned) { return scalar(); }
    bool Int64(int64_t) { return scalar(); }
    bool Uint64(uint64_t) { return scalar(); }
    bool Double(double) { return scalar(); }
    bool RawNumber(const char*, SizeType, bool) { return scalar(); }
    bool String(const char*, SizeType, bool) { return scalar(); }
    bool Key(const char*, SizeType, bool)
    {
        m_lastEnd = m_is.Tell();
        return true;
    }
    bool StartObject() { return open(); }
    bool StartArray() { return open(); }
    bool EndObject(SizeType) { return close(); }
    bool EndArray(SizeType) { return close(); }

private:
    void begin(std::size_t start)
    {
        if (!m_next.empty())
            m_path.push_back(m_next.back()++);
        if (m_path.size() <= m_maxDepth && m_wanted.count(m_path))
            m_found[m_path] = start;
    }
    bool open()
    {
        begin(m_is.Tell() - 1);
        m_next.push_back(0);
        m_lastEnd = m_is.Tell();
        return true;
    }
    bool close()
    {
        m_next.pop_back();
        if (!m_next.empty())
            m_path.pop_back();
        m_lastEnd = m_is.Tell();
        return true;
    }
    bool scalar()
    {
        std::size_t start = m_lastEnd;
        while (start < m_is.Tell() && std::string(" \t\r\n,:").find(m_is.head[start]) != std::string::npos)
            ++start;
        begin(start);
        if (!m_next.empty())
            m_path.pop_back();
        m_lastEnd = m_is.Tell();
        return true;
    }

    const std::set<Steps>& m_wanted;
    std::map<Steps, std::size_t>& m_found;
    const PositionStream& m_is;
    std::size_t m_maxDepth = 0;
    std::vector<std::uint32_t> m_next;   // ordinal of the next child, per open container
    Steps m_path;
    std::size_t m_lastEnd = 0;
};

} // namespace

std::vector<PlcFinding> plcExplain(const std::string& text, const CtvkParsePlcCommon& script,
                                   PlcFloatWords* floatWords)
{
    std::vector<PlcFinding> out;
    switch (script.error()) {
    case CtvkParsePlcCommon::NoError:
    case CtvkParsePlcCommon::RootNotArray:
    case CtvkParsePlcCommon::ElementNotObject:
    case CtvkParsePlcCommon::SectionNotObject:
    case CtvkParsePlcCommon::SectionWithoutId:
        break;
    default: {
        // The text never parsed: the library's own reason and place, but a
        // byte-order mark by its name, since the parser calls it only an
        // invalid value and editors hide it.
        std::string why = script.errorString();
        if (script.error() == CtvkParsePlcCommon::SyntaxError)
            why = text.rfind(kUtf8Bom, 0) == 0 && script.errorOffset() == 0
                ? "the text does not parse: it begins with a UTF-8 byte-order mark (BOM), which JSON does not "
                  "allow; save it without one"
                : "the text does not parse: " + why;
        out.push_back({PlcFinding::Error, std::string(), script.errorOffset(), why});
        return out;
    }
    }

    // The library took the text, so it parses here too, within the nesting
    // limit that keeps the recursive parser's stack small.
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError()) {
        out.push_back({PlcFinding::Error, std::string(), doc.GetErrorOffset(), "the text does not parse"});
        return out;
    }
    Explainer explainer(script);
    {
        // Library classes built on the way print their word-list lines
        // again; the root already printed them once.
        const PlcLibraryLines quiet;
        explainer.root(doc);
    }
    if (floatWords)
        *floatWords = std::move(explainer.floatWords);

    std::set<Steps> wanted;
    for (const Pending& p : explainer.findings)
        wanted.insert(p.place.steps);
    std::map<Steps, std::size_t> found;
    PositionStream is{text.c_str(), text.c_str()};
    Locator locator(wanted, found, is);
    rapidjson::Reader reader;
    reader.Parse(is, locator);

    for (const Pending& p : explainer.findings)
        out.push_back({p.severity, p.place.text.empty() ? std::string("(root)") : p.place.text, found[p.place.steps],
                       p.text});
    std::stable_sort(out.begin(), out.end(),
                     [](const PlcFinding& a, const PlcFinding& b) { return a.offset < b.offset; });
    return out;
}

PlcLineIndex::PlcLineIndex(const std::string& text, std::size_t end) : m_text(text)
{
    m_lineStarts.push_back(0);
    for (std::size_t i = 0; i < text.size() && i < end; ++i)
        if (text[i] == '\n')
            m_lineStarts.push_back(i + 1);
}

std::size_t PlcLineIndex::line(std::size_t offset) const
{
    return static_cast<std::size_t>(std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), offset) -
                                    m_lineStarts.begin());
}

std::size_t PlcLineIndex::column(std::size_t offset) const
{
    const std::size_t start = m_lineStarts[line(offset) - 1];
    std::size_t column = 1;
    for (std::size_t i = start; i < offset && i < m_text.size(); ++i)
        if ((static_cast<unsigned char>(m_text[i]) & 0xC0) != 0x80)
            ++column;
    return column;
}

namespace {
PlcLibraryLines* innermostLines = nullptr;
} // namespace

PlcLibraryLines::PlcLibraryLines()
    : m_outer(innermostLines), m_previous(Quorvan::tvkInstallPlcconfigMessageHandler(&PlcLibraryLines::take))
{
    innermostLines = this;
}

PlcLibraryLines::~PlcLibraryLines()
{
    innermostLines = m_outer;
    Quorvan::tvkInstallPlcconfigMessageHandler(m_previous);
}

void PlcLibraryLines::take(const char*, const char* line)
{
    if (innermostLines)
        innermostLines->m_text.append(line).append("\n");
}
