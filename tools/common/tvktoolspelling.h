// SPDX-License-Identifier: MIT
#ifndef TVKTOOLSPELLING_H
#define TVKTOOLSPELLING_H

#include <algorithm>
#include <string>
#include <vector>

namespace tvktool {

// Edits (a letter added, dropped, changed, or two swapped) between two
// words: "--durationn" is one from "--duration".
inline std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The one name a misspelt `word` most likely meant: the nearest within two
// edits (one for words of four letters or fewer), or empty when none is,
// or when two are equally near.
inline std::string nearestName(const std::string& word, const std::vector<std::string>& names)
{
    const std::size_t most = word.size() <= 4 ? 1 : 2;
    std::string best;
    std::size_t bestDistance = most + 1;
    bool tie = false;
    for (const std::string& name : names) {
        const std::size_t distance = editDistance(word, name);
        if (distance == 0 || distance > most)
            continue;
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
            tie = false;
        } else if (distance == bestDistance && name != best) {
            tie = true;
        }
    }
    return tie ? std::string() : best;
}

} // namespace tvktool

#endif
