#pragma once

#include "net/AsyncSocket.h"
#include "net/NetInterface.h"

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

// The computer's IPv4 interfaces and addresses, kept up to date from the kernel's route netlink
// messages on the thread that starts the watch. Nothing is polled: the watch wakes only when a
// link or an address changes.
class CInterfaceWatch : private CAsyncSocket
{
public:
    // An interface that has just begun to serve a subnet that nobody served before; returned
    // when the address it serves with was there once and went away in between.
    using NewInterfaceHandler = std::function<void(int interfaceIndex, bool returned)>;

    CInterfaceWatch() = default;

    // Reads the full list and starts listening for changes; false when netlink is not there.
    bool Start(NewInterfaceHandler onNewInterface);
    bool IsRunning() const { return m_hSocket != INVALID_SOCKET; }

    // Every IPv4 address of every interface, loopback and tunnels included.
    const std::vector<NetInterface>& GetInterfaces() const { return m_interfaces; }
    // Where a broadcast goes out: one interface per subnet (ChooseBroadcastInterfaces). Any
    // thread may ask: the goodbye goes out from whichever thread learns that the run ends.
    std::vector<int> GetBroadcastIndexes() const;
    bool IsOwnAddress(std::uint32_t address) const;

    struct Link
    {
        CString strName;
        unsigned nFlags = 0;
    };
    struct Address
    {
        int nIndex = 0;
        std::uint32_t nAddress = 0;
        int nPrefix = 0;
    };

private:
    void OnReceive(int errorCode) override;
    // The full list again, after the kernel dropped messages that did not fit our buffer.
    bool Reload();
    // Rebuilds the lists; with announce, reports interfaces that began to serve a new subnet.
    void Update(bool announce);

    std::map<int, Link> m_links;
    std::vector<Address> m_addresses;
    std::vector<NetInterface> m_interfaces;
    std::vector<NetInterface> m_chosen;
    std::vector<int> m_broadcastIndexes;
    mutable std::mutex m_broadcastIndexesLock;
    // Every (interface, address) that has served a subnet during this run.
    std::set<std::pair<int, std::uint32_t>> m_served;
    NewInterfaceHandler m_onNewInterface;
};
