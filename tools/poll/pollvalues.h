// SPDX-License-Identifier: MIT
#ifndef POLL_POLLVALUES_H
#define POLL_POLLVALUES_H

#include "polloptions.h"

#include <string>
#include <vector>

namespace tvkpoll {

// Turns the values given on the command line into what goes on the wire:
// one 0/1 per coil, one word per register, two words per 32-bit value in the
// word order asked for. Answers false with a message naming the first value
// that does not fit.
bool encodeValues(const std::vector<std::string>& texts, Table table, Format format, bool bigEndianWords,
                  std::vector<unsigned short>& words, std::string& message);

// One shown value per read value: `text` for the table, `json` a JSON number
// (or null for a float that is not finite).
struct ShownValue {
    int reference = 0;
    std::string text;
    std::string json;
};

std::vector<ShownValue> decodeValues(const std::vector<unsigned short>& words, const PollOptions& options);

} // namespace tvkpoll

#endif
