// SPDX-License-Identifier: MIT
#ifndef TVKPARSEPLCCOMMON_H
#define TVKPARSEPLCCOMMON_H

#include "tvkplcconfig_global.h"

// Only the forward declarations: callers who never touch a DOM value do not
// pull the whole JSON library in through this header.
#include <rapidjson/fwd.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace Quorvan {

// A list of unsigned 32-bit numbers (identifiers, types, states).
class TVK_PLCCONFIG_EXPORT CtvkParseArray {
public:
    CtvkParseArray() = default;
    CtvkParseArray(const rapidjson::Value& value);

    // Appends to what the list already holds; sets the flag only when every
    // element was an unsigned number.
    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    void setValid(bool v) { valid = v; }
    const std::vector<unsigned int>& array() const { return m_array; }
    void setArray(const std::vector<unsigned int>& list) { m_array = list; }

private:
    std::vector<unsigned int> m_array;
    bool valid = false;
};

// A list of raw 32-bit words: integers as two's complement, fractions as
// single-precision bit patterns.
class TVK_PLCCONFIG_EXPORT CtvkParseParamsArray {
public:
    CtvkParseParamsArray() = default;
    CtvkParseParamsArray(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    void setValid(bool v) { valid = v; }
    const std::vector<int>& array() const { return m_array; }
    void setArray(const std::vector<int>& list) { m_array = list; }

private:
    std::vector<int> m_array;
    bool valid = false;
};

// One network endpoint of the PLC link.
class TVK_PLCCONFIG_EXPORT CtvkParseProtocolData {
public:
    CtvkParseProtocolData() = default;
    CtvkParseProtocolData(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    const std::string& ip() const { return m_ip; }
    unsigned int port() const { return m_port; }

private:
    std::string m_ip;
    unsigned int m_port = 0xFFFF;
    bool valid = false;
};

class TVK_PLCCONFIG_EXPORT CtvkParseProtocol {
public:
    CtvkParseProtocol() = default;
    CtvkParseProtocol(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    const CtvkParseProtocolData& source() const { return m_source; }
    const CtvkParseProtocolData& host() const { return m_host; }
    unsigned int version() const { return m_version; }
    unsigned int priv() const { return m_priv; }

private:
    CtvkParseProtocolData m_source;
    CtvkParseProtocolData m_host;
    unsigned int m_version = 0;
    unsigned int m_priv = 0;
    bool valid = false;
};

class TVK_PLCCONFIG_EXPORT CtvkParseLineStatus {
public:
    CtvkParseLineStatus() = default;
    CtvkParseLineStatus(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    unsigned int ID() const { return m_ID; }
    unsigned int cycleTime() const { return m_cycleTime; }
    unsigned int version() const { return m_version; }
    unsigned int priv() const { return m_priv; }
    void setVersion(unsigned int v) { m_version = v; }
    void setPriv(unsigned int v) { m_priv = v; }

private:
    unsigned int m_ID = 0;
    unsigned int m_cycleTime = 10000;
    unsigned int m_version = 0;
    unsigned int m_priv = 0;
    bool valid = false;
};

class TVK_PLCCONFIG_EXPORT CtvkParseActual {
public:
    CtvkParseActual() = default;
    CtvkParseActual(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    unsigned int ID() const { return m_ID; }
    unsigned int cycleTime() const { return m_cycleTime; }
    const CtvkParseArray& dataIDSet() const { return m_dataIDSet; }

private:
    unsigned int m_ID = 0;
    unsigned int m_cycleTime = 500;
    CtvkParseArray m_dataIDSet;
    bool valid = false;
};

// One block of mold data; the host adds its start position and pack size.
class TVK_PLCCONFIG_EXPORT CtvkParseMoldBlock {
public:
    CtvkParseMoldBlock() = default;
    CtvkParseMoldBlock(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid != 0; }
    unsigned int type() const { return m_type; }
    const CtvkParseArray& dataIDSet() const { return m_dataIDSet; }
    const CtvkParseArray& dataTypeSet() const { return m_dataTypeSet; }
    const CtvkParseArray& dataStateSet() const { return m_dataStateSet; }
    const CtvkParseParamsArray& dataValueSet() const { return m_dataValueSet; }
    void setStartPos(unsigned int pos) { m_startPos = pos; }
    unsigned int queryStartPos() const { return m_startPos; }
    void setPackSize(unsigned int size) { m_packSize = size; }
    unsigned int queryPackSize() const { return m_packSize; }

private:
    unsigned int m_type = 0;
    unsigned int m_startPos = 0;
    unsigned int m_packSize = 0;
    int valid = 0;
    CtvkParseArray m_dataIDSet;
    CtvkParseArray m_dataTypeSet;
    CtvkParseArray m_dataStateSet;
    CtvkParseParamsArray m_dataValueSet;
};

// The mold data set: blocks keyed (and ordered) by their type.
class TVK_PLCCONFIG_EXPORT CtvkParseMoldSet {
public:
    CtvkParseMoldSet() = default;
    CtvkParseMoldSet(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid != 0; }
    unsigned int ID() const { return m_ID; }
    const std::map<unsigned int, CtvkParseMoldBlock>& moldList() const { return m_moldList; }

private:
    unsigned int m_ID = 0;
    int valid = 0;
    std::map<unsigned int, CtvkParseMoldBlock> m_moldList;
};

class TVK_PLCCONFIG_EXPORT CtvkParseTriggerCondition {
public:
    CtvkParseTriggerCondition() = default;
    CtvkParseTriggerCondition(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    void setValid(bool v) { valid = v; }
    unsigned int type() const { return m_type; }
    const CtvkParseParamsArray& params() const { return m_params; }
    void setType(unsigned int t) { m_type = t; }
    // Takes the words and the list's own flag.
    void setParams(const CtvkParseParamsArray& params) { m_params = params; }

private:
    unsigned int m_type = 0;
    CtvkParseParamsArray m_params;
    bool valid = false;
};

class TVK_PLCCONFIG_EXPORT CtvkParseTriggerParamSet {
public:
    CtvkParseTriggerParamSet() = default;
    CtvkParseTriggerParamSet(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    void setValid(bool v) { valid = v; }
    const std::vector<CtvkParseTriggerCondition>& conditions() const { return m_conditions; }
    // Takes the list only; the set's own flag stays as it is.
    void setConditions(std::vector<CtvkParseTriggerCondition>& conditions) { m_conditions = conditions; }

private:
    std::vector<CtvkParseTriggerCondition> m_conditions;
    bool valid = false;
};

class TVK_PLCCONFIG_EXPORT CtvkParseTriggerFeature {
public:
    CtvkParseTriggerFeature() = default;
    CtvkParseTriggerFeature(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    void setValid(bool v) { valid = v; }
    const std::vector<CtvkParseTriggerParamSet>& triggerParams() const { return m_triggerParams; }
    // Takes the list only; the feature's own flag stays as it is.
    void setTriggerParams(const std::vector<CtvkParseTriggerParamSet>& params) { m_triggerParams = params; }

private:
    std::vector<CtvkParseTriggerParamSet> m_triggerParams;
    bool valid = false;
};

class TVK_PLCCONFIG_EXPORT CtvkParseTrigger {
public:
    CtvkParseTrigger() = default;
    CtvkParseTrigger(const rapidjson::Value& value);

    void parse(const rapidjson::Value& value);
    bool isValid() const { return valid; }
    void setValid(bool v) { valid = v; }
    unsigned int ID() const { return m_ID; }
    unsigned int groupID() const { return m_groupID; }
    unsigned int outTime() const { return m_outTime; }
    unsigned int delayTime() const { return m_delayTime; }
    unsigned int sendCount() const { return m_sendCount; }
    unsigned int dataIDFlag() const { return m_dataIDFlag; }
    const CtvkParseArray& dataIDSet() const { return m_dataIDSet; }
    const CtvkParseTriggerFeature& startTrigger() const { return m_startTrigger; }
    const CtvkParseTriggerFeature& sendTrigger() const { return m_sendTrigger; }
    const CtvkParseTriggerFeature& stopTrigger() const { return m_stopTrigger; }
    void setID(unsigned int v) { m_ID = v; }
    void setGroupID(unsigned int v) { m_groupID = v; }
    void setOutTime(unsigned int v) { m_outTime = v; }
    void setDelayTime(unsigned int v) { m_delayTime = v; }
    void setSendCount(unsigned int v) { m_sendCount = v; }
    void setDataIDFlag(unsigned int v) { m_dataIDFlag = v; }
    // These take the nested flag along with the content.
    void setDataIDSet(const CtvkParseArray& set) { m_dataIDSet = set; }
    void setStartTrigger(const CtvkParseTriggerFeature& f) { m_startTrigger = f; }
    void setSendTrigger(const CtvkParseTriggerFeature& f) { m_sendTrigger = f; }
    void setStopTrigger(const CtvkParseTriggerFeature& f) { m_stopTrigger = f; }

private:
    unsigned int m_ID = 0;
    unsigned int m_groupID = 0;
    unsigned int m_outTime = 0;
    unsigned int m_delayTime = 0;
    unsigned int m_sendCount = 0;
    unsigned int m_dataIDFlag = 0;
    CtvkParseArray m_dataIDSet;
    CtvkParseTriggerFeature m_startTrigger;
    CtvkParseTriggerFeature m_sendTrigger;
    CtvkParseTriggerFeature m_stopTrigger;
    bool valid = false;
};

class CtvkPlcScriptReader;

// The whole PLC communication script read from one file.
class TVK_PLCCONFIG_EXPORT CtvkParsePlcCommon {
public:
    // Arrays and objects nested deeper than this make the script not valid.
    // The parser recurses once per level and is stopped as soon as a value
    // opens one level too many, so reading a script never needs more than
    // about 25 KiB of stack (measured in a sanitizer build, which needs the
    // most), whatever the file holds: safe on a worker thread's small
    // stack. Real scripts need about ten levels.
    static constexpr unsigned int kMaxNestingLevels = 128;

    // A script longer than this many bytes (128 MiB) is not valid: the whole
    // text is held in memory while it is parsed. A file above it is refused
    // from its size, before it is opened; one that grows past it after that
    // is read only up to its size when the read begins, and then refused.
    // Real scripts are a few hundred KiB; the largest the benchmark
    // generates is 50 MB.
    static constexpr std::size_t kMaxScriptSizeBytes = std::size_t(128) * 1024 * 1024;

    // The section codes: a section body's "ID", which chooses the section.
    // Bodies with any other code are skipped.
    enum SectionCode : unsigned int {
        ActualSection = 1,        // replaces actual()
        LineStatusSection = 7,    // replaces lineStatus()
        MoldSetSection = 9,       // replaces moldSet()
        TriggerSection = 17       // appended to triggers()
    };

    // Why the last parse did not complete. errorString() says it in words;
    // errorOffset() is the byte of the text where a SyntaxError or TooDeep
    // was found or where a root that is not an array begins (0 otherwise);
    // errorElement() is the index of the root element that stopped the
    // reading (ElementNotObject, SectionNotObject, SectionWithoutId).
    enum ReadError {
        NoError = 0,        // the last parse completed: the root is valid
        OpenError,          // the path names nothing that can be opened
        NotRegularFile,     // a directory, FIFO, device or socket: refused unread
        ReadFailed,         // reading the file failed part way
        TooLarge,           // longer than kMaxScriptSizeBytes
        OutOfMemory,        // no memory for the text or what it holds
        EmptyScript,        // not a single byte
        SyntaxError,        // not one strict JSON value, or a zero byte in the text
        TooDeep,            // nested deeper than kMaxNestingLevels
        RootNotArray,       // the root value is not an array
        ElementNotObject,   // a root element is not an object
        SectionNotObject,   // a root element's "Type" is not an object
        SectionWithoutId    // a section body without an unsigned "ID"
    };

    CtvkParsePlcCommon() = default;
    explicit CtvkParsePlcCommon(const std::string& path);

    // Reads the file at the path (UTF-8) through the framework's file class.
    // Only a regular file is read; anything else is refused at once, before
    // the file is opened, without waiting for a writer or a device.
    void parse(const std::string& path);
    // Reads script text that the caller already holds (from a pipe, say),
    // exactly as parse() reads the content of a file.
    void parseText(const char* text, std::size_t length);
    void parseText(const std::string& text) { parseText(text.data(), text.size()); }

    bool isValid() const { return valid; }
    ReadError error() const { return m_error; }
    const std::string& errorString() const { return m_errorString; }
    std::size_t errorOffset() const { return m_errorOffset; }
    std::size_t errorElement() const { return m_errorElement; }

    const CtvkParseProtocol& protocol() const { return m_protocol; }
    const CtvkParseActual& actual() const { return m_actual; }
    const CtvkParseLineStatus& lineStatus() const { return m_lineStatus; }
    const CtvkParseMoldSet& moldSet() const { return m_moldSet; }
    const std::vector<CtvkParseTrigger>& triggers() const { return m_triggers; }

private:
    friend class CtvkPlcScriptReader;

    void setError(ReadError error, const std::string& text, std::size_t offset = 0, std::size_t element = 0);

    CtvkParseProtocol m_protocol;
    CtvkParseActual m_actual;
    CtvkParseLineStatus m_lineStatus;
    CtvkParseMoldSet m_moldSet;
    std::vector<CtvkParseTrigger> m_triggers;
    bool valid = false;
    ReadError m_error = NoError;
    std::string m_errorString;
    std::size_t m_errorOffset = 0;
    std::size_t m_errorElement = 0;
};

} // namespace Quorvan

#endif
