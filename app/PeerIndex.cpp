#include "app/PeerIndex.h"

#include <algorithm>

void CPeerIndex::Add(const CString& name, const CString& address)
{
    const std::uint64_t arrival = m_nNextArrival++;
    m_arrivals.push_back(arrival);
    m_byName[name].insert(arrival);
    m_byAddress[address].insert(arrival);
    ++m_pairCounts[{name, address}];
}

void CPeerIndex::RemoveAt(std::size_t position, const CString& name, const CString& address)
{
    if (position >= m_arrivals.size()) {
        return;
    }
    const std::uint64_t arrival = m_arrivals[position];
    m_arrivals.erase(m_arrivals.begin() + static_cast<std::ptrdiff_t>(position));
    Forget(m_byName, name, arrival);
    Forget(m_byAddress, address, arrival);
    const auto pair = m_pairCounts.find({name, address});
    if (pair != m_pairCounts.end() && --pair->second == 0) {
        m_pairCounts.erase(pair);
    }
}

void CPeerIndex::Clear()
{
    m_arrivals.clear();
    m_byName.clear();
    m_byAddress.clear();
    m_pairCounts.clear();
}

std::optional<std::size_t> CPeerIndex::FindName(const CString& name) const
{
    return FindFirst(m_byName, name);
}

std::optional<std::size_t> CPeerIndex::FindAddress(const CString& address) const
{
    return FindFirst(m_byAddress, address);
}

bool CPeerIndex::Contains(const CString& name, const CString& address) const
{
    return m_pairCounts.count({name, address}) != 0;
}

std::optional<std::size_t> CPeerIndex::FindFirst(const Arrivals& arrivals, const CString& key) const
{
    const auto found = arrivals.find(key);
    if (found == arrivals.end() || found->second.empty()) {
        return std::nullopt;
    }
    const auto position = std::lower_bound(m_arrivals.begin(), m_arrivals.end(), *found->second.begin());
    if (position == m_arrivals.end() || *position != *found->second.begin()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(position - m_arrivals.begin());
}

void CPeerIndex::Forget(Arrivals& arrivals, const CString& key, std::uint64_t arrival)
{
    const auto found = arrivals.find(key);
    if (found == arrivals.end()) {
        return;
    }
    found->second.erase(arrival);
    if (found->second.empty()) {
        arrivals.erase(found);
    }
}
