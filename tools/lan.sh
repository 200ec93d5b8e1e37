# Shared shell functions for a virtual LAN: network namespaces joined by bridges.
# Sourced by tools/virtual-lan and tests/lan-run; needs root and iproute2.
#
# lan_up PREFIX N [TOPOLOGY]   makes PREFIX-br (holding the bridges) and hosts PREFIX-h1 .. PREFIX-hN,
#                              each with host name <PREFIX>h<i>. The topologies (plain when none):
#   plain         every host on one LAN, host i at 10.77.0.i/24, default route through eth0
#   no-gateway    the same without any default route (two laptops on one cable)
#   two-lans      host 2 is also on a second LAN (eth1, 10.78.0.2/24); hosts 3 .. N only on that
#                 one, at 10.78.0.i/24 (needs 3 hosts)
#   same-lan      host 2 has a second card on the same LAN (eth1, 10.77.0.102/24)
#   vpn-tun       host 2's default route goes through tun0, a point-to-point tunnel device with
#                 no broadcast, as with a full-tunnel VPN
#   late-address  host 2's eth0 is up but has no address and no route; lan_late_address gives
#                 it its address, as a DHCP server would
# lan_down PREFIX   removes every namespace and file lan_up made for PREFIX

LAN_SUBNET=10.77.0
LAN_SECOND_SUBNET=10.78.0
LAN_TOPOLOGIES="plain no-gateway two-lans same-lan vpn-tun late-address"
# The host with the unusual network, and the card that gets its address late.
LAN_ODD_HOST=2
LAN_LATE_DEVICE=eth0

lan_host_ns() { echo "$1-h$2"; }
lan_host_name() { echo "${1//-/}h$2"; }
# lan_host_addr PREFIX I [TOPOLOGY]: the address host I is reached at (its first card's).
lan_host_addr() {
    if [[ ${3:-plain} == two-lans && $2 -gt $LAN_ODD_HOST ]]; then
        echo "$LAN_SECOND_SUBNET.$2"
    else
        echo "$LAN_SUBNET.$2"
    fi
}

# lan_check_topology TOPOLOGY N: fails with a message for an unknown name or too few hosts.
lan_check_topology() {
    local topology=$1 count=$2 minimum=2
    if [[ " $LAN_TOPOLOGIES " != *" $topology "* ]]; then
        echo "unknown topology $topology (one of: $LAN_TOPOLOGIES)" >&2
        return 1
    fi
    [[ $topology == plain ]] && minimum=1
    [[ $topology == two-lans ]] && minimum=3
    if ((count < minimum)); then
        echo "topology $topology needs at least $minimum hosts" >&2
        return 1
    fi
}

# lan_add_card BRIDGE_NS BRIDGE NS CARD PORT [ADDRESS/LEN]: a veth card in NS on the bridge.
lan_add_card() {
    local bridge_ns=$1 bridge=$2 ns=$3 card=$4 port=$5 address=${6:-}
    ip link add "$card" netns "$ns" type veth peer name "$port" netns "$bridge_ns"
    ip -n "$bridge_ns" link set "$port" master "$bridge"
    ip -n "$bridge_ns" link set "$port" up
    if [[ -n $address ]]; then
        ip -n "$ns" addr add "$address" dev "$card"
    fi
    ip -n "$ns" link set "$card" up
}

lan_up() {
    local prefix=$1 count=$2 topology=${3:-plain} i ns bridge address routed
    lan_check_topology "$topology" "$count" || return 1
    ip netns add "$prefix-br"
    ip -n "$prefix-br" link add br0 type bridge
    ip -n "$prefix-br" link set br0 up
    if [[ $topology == two-lans ]]; then
        ip -n "$prefix-br" link add br1 type bridge
        ip -n "$prefix-br" link set br1 up
    fi
    for ((i = 1; i <= count; i++)); do
        ns=$(lan_host_ns "$prefix" "$i")
        ip netns add "$ns"
        bridge=br0
        [[ $topology == two-lans && $i -gt $LAN_ODD_HOST ]] && bridge=br1
        address="$(lan_host_addr "$prefix" "$i" "$topology")/24"
        [[ $topology == late-address && $i -eq $LAN_ODD_HOST ]] && address=
        lan_add_card "$prefix-br" "$bridge" "$ns" eth0 "p$i" "$address"
        ip -n "$ns" link set lo up
        if [[ $i -eq $LAN_ODD_HOST ]]; then
            case $topology in
            two-lans) lan_add_card "$prefix-br" br1 "$ns" eth1 "p${i}b" "$LAN_SECOND_SUBNET.$i/24" ;;
            same-lan) lan_add_card "$prefix-br" br0 "$ns" eth1 "p${i}b" "$LAN_SUBNET.$((100 + i))/24" ;;
            vpn-tun)
                # Nothing reads the tunnel: what the routing table sends into it is lost.
                ip -n "$ns" tuntap add dev tun0 mode tun
                ip -n "$ns" addr add 10.99.0.2 peer 10.99.0.1 dev tun0
                ip -n "$ns" link set tun0 up
                ip -n "$ns" route add default dev tun0
                ;;
            esac
        fi
        # A plain send to the limited broadcast 255.255.255.255 follows the default route.
        routed=1
        [[ $topology == no-gateway ]] && routed=
        [[ $i -eq $LAN_ODD_HOST && ($topology == vpn-tun || $topology == late-address) ]] && routed=
        if [[ -n $routed ]]; then
            ip -n "$ns" route add default dev eth0
        fi
        # A host name of our own is in no hosts file; without these files a look-up of it
        # would wait on an unreachable name server.
        mkdir -p "/etc/netns/$ns"
        printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$(lan_host_name "$prefix" "$i")" >"/etc/netns/$ns/hosts"
        : >"/etc/netns/$ns/resolv.conf"
    done
}

# lan_late_address PREFIX: gives host 2 of a late-address LAN its address.
lan_late_address() {
    ip -n "$(lan_host_ns "$1" "$LAN_ODD_HOST")" addr add "$LAN_SUBNET.$LAN_ODD_HOST/24" dev "$LAN_LATE_DEVICE"
}

lan_down() {
    local prefix=$1 ns
    for ns in $(ip netns list | awk '{print $1}' | grep -E "^$prefix-(br|h[0-9]+)$"); do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
        ip netns del "$ns" 2>/dev/null || true
        rm -rf "/etc/netns/$ns"
    done
}

# lan_exec PREFIX I CMD...   runs CMD on host I under its own host name
lan_exec() {
    local prefix=$1 i=$2
    shift 2
    ip netns exec "$(lan_host_ns "$prefix" "$i")" \
        unshare --uts -- sh -c 'hostname "$0" && exec "$@"' "$(lan_host_name "$prefix" "$i")" "$@"
}
