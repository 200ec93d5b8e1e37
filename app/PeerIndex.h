#pragma once

#include "framework/CString.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

// Finds the entries of the main window's peer list by name and by address without a scan. The
// list keeps its entries in order of arrival; the index knows each by its arrival number, and
// the first match of a look-up is the entry that arrived first, as a scan from the start finds.
class CPeerIndex
{
public:
    // The entry appended at the end of the list.
    void Add(const CString& name, const CString& address);
    // The entry at this position of the list was taken out; the later ones moved up.
    void RemoveAt(std::size_t position, const CString& name, const CString& address);
    void Clear();

    // Positions in the list of the first entry with the name or the address.
    std::optional<std::size_t> FindName(const CString& name) const;
    std::optional<std::size_t> FindAddress(const CString& address) const;
    // Whether some entry has exactly this name and this address.
    bool Contains(const CString& name, const CString& address) const;

private:
    using Arrivals = std::map<CString, std::set<std::uint64_t>>;

    std::optional<std::size_t> FindFirst(const Arrivals& arrivals, const CString& key) const;
    static void Forget(Arrivals& arrivals, const CString& key, std::uint64_t arrival);

    // The arrival number of each entry, in the list's order (so rising).
    std::vector<std::uint64_t> m_arrivals;
    // Ordered maps: their cost cannot be driven up by names chosen to collide.
    Arrivals m_byName;
    Arrivals m_byAddress;
    // How many entries hold each (name, address) pair.
    std::map<std::pair<CString, CString>, std::size_t> m_pairCounts;
    std::uint64_t m_nNextArrival = 0;
};
