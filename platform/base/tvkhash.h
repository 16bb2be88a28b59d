// SPDX-License-Identifier: MIT
#ifndef TVKHASH_H
#define TVKHASH_H

#include <memory>
#include <unordered_map>

namespace Quorvan {

// Copy-on-write hash: copies share the table until one of them is changed.
template <class Key, class T>
class CtvkHash {
public:
    CtvkHash() : m_d(std::make_shared<Map>()) {}

    int size() const { return static_cast<int>(m_d->size()); }
    bool isEmpty() const { return m_d->empty(); }
    bool contains(const Key& k) const { return m_d->find(k) != m_d->end(); }
    T value(const Key& k, const T& fallback = T()) const {
        auto it = m_d->find(k);
        return it == m_d->end() ? fallback : it->second;
    }
    void insert(const Key& k, const T& v) { detach(); (*m_d)[k] = v; }   // replaces
    int remove(const Key& k) { detach(); return static_cast<int>(m_d->erase(k)); }
    void clear() { m_d = std::make_shared<Map>(); }
    T& operator[](const Key& k) { detach(); return (*m_d)[k]; }

    // The tests and the shared-ness checks look at this.
    bool isSharedWith(const CtvkHash& other) const { return m_d == other.m_d; }

    using Map = std::unordered_map<Key, T>;
    typename Map::const_iterator begin() const { return m_d->cbegin(); }
    typename Map::const_iterator end() const { return m_d->cend(); }

private:
    std::shared_ptr<Map> m_d;
    void detach() { if (m_d.use_count() > 1) m_d = std::make_shared<Map>(*m_d); }
};

} // namespace Quorvan

#endif
