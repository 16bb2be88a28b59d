// SPDX-License-Identifier: MIT
#ifndef TVKCOWSEQ_P_H
#define TVKCOWSEQ_P_H

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <vector>

namespace Quorvan {
namespace detail {

// Copy-on-write sequence behind CtvkList and CtvkVector: copies share one
// buffer until one of them is changed.
template <class T>
class CtvkCowSequence {
public:
    using Store = std::vector<T>;
    using const_iterator = typename Store::const_iterator;

    CtvkCowSequence() : m_d(std::make_shared<Store>()) {}
    CtvkCowSequence(std::initializer_list<T> init) : m_d(std::make_shared<Store>(init)) {}

    int size() const { return static_cast<int>(m_d->size()); }
    int count() const { return size(); }
    bool isEmpty() const { return m_d->empty(); }
    const T& at(int i) const { return (*m_d)[static_cast<std::size_t>(i)]; }
    const T& operator[](int i) const { return at(i); }
    T& operator[](int i) { detach(); return (*m_d)[static_cast<std::size_t>(i)]; }
    const T& first() const { return m_d->front(); }
    const T& last() const { return m_d->back(); }

    void append(const T& v) { detach(); m_d->push_back(v); }
    void push_back(const T& v) { append(v); }
    void prepend(const T& v) { detach(); m_d->insert(m_d->begin(), v); }
    void insert(int i, const T& v) { detach(); m_d->insert(m_d->begin() + i, v); }
    void removeAt(int i) { detach(); m_d->erase(m_d->begin() + i); }
    void clear() { m_d = std::make_shared<Store>(); }
    void reserve(int n) { detach(); m_d->reserve(static_cast<std::size_t>(n)); }

    int indexOf(const T& v, int from = 0) const {
        for (int i = std::max(from, 0); i < size(); ++i)
            if (at(i) == v) return i;
        return -1;
    }
    int lastIndexOf(const T& v) const {
        for (int i = size() - 1; i >= 0; --i)
            if (at(i) == v) return i;
        return -1;
    }
    bool contains(const T& v) const { return indexOf(v) >= 0; }
    // Removes every element equal to v; answers how many. v may be an
    // element of this very sequence: it is copied first, since removing
    // moves the elements it would be compared against.
    int removeAll(const T& v) {
        if (!contains(v)) return 0;
        const T value = v;
        detach();
        auto it = std::remove(m_d->begin(), m_d->end(), value);
        int n = static_cast<int>(m_d->end() - it);
        m_d->erase(it, m_d->end());
        return n;
    }
    bool removeOne(const T& v) {
        int i = indexOf(v);
        if (i < 0) return false;
        removeAt(i);
        return true;
    }

    const_iterator begin() const { return m_d->cbegin(); }
    const_iterator end() const { return m_d->cend(); }
    const Store& toStdVector() const { return *m_d; }

    bool isSharedWith(const CtvkCowSequence& o) const { return m_d == o.m_d; }
    bool operator==(const CtvkCowSequence& o) const { return *m_d == *o.m_d; }
    bool operator!=(const CtvkCowSequence& o) const { return !(*this == o); }

private:
    std::shared_ptr<Store> m_d;
    void detach() { if (m_d.use_count() > 1) m_d = std::make_shared<Store>(*m_d); }
};

} // namespace detail
} // namespace Quorvan

#endif
