#pragma once

#include <cassert>
#include <utility>
#include <vector>

namespace kalimo::lobby {

// The lobby's lists count from 1, as every routine that walks them does
// ("for i = 1 to UBound"). Entries are stored from 0 underneath; index 0
// has no entry, and the upper bound is the number of entries.
template <typename T> class Lista1 final
{
public:
    int UBound() const { return static_cast<int>(m_voci.size()); }
    bool vuota() const { return m_voci.empty(); }

    T& operator[](int indice)
    {
        assert(indice >= 1 && indice <= UBound());
        return m_voci[indice - 1];
    }
    const T& operator[](int indice) const
    {
        assert(indice >= 1 && indice <= UBound());
        return m_voci[indice - 1];
    }

    // Grows by one, keeping the entries; returns the new entry's index.
    int aggiungi(T voce)
    {
        m_voci.push_back(std::move(voce));
        return UBound();
    }
    void svuota() { m_voci.clear(); }
    template <typename Pred> void rimuoviSe(Pred pred) { std::erase_if(m_voci, pred); }

    // Entries 1 .. UBound in order.
    auto begin() { return m_voci.begin(); }
    auto end() { return m_voci.end(); }
    auto begin() const { return m_voci.begin(); }
    auto end() const { return m_voci.end(); }

private:
    std::vector<T> m_voci; // move-only entries (rooms, windows) are fine
};

} // namespace kalimo::lobby
