# Shared shell functions for a virtual LAN: network namespaces joined by a bridge.
# Sourced by tools/virtual-lan and tests/lan-run; needs root and iproute2.
#
# lan_up PREFIX N   makes PREFIX-br (the bridge) and hosts PREFIX-h1 .. PREFIX-hN,
#                   host i at 10.77.0.i/24 with host name <PREFIX>h<i>
# lan_down PREFIX   removes every namespace and file lan_up made for PREFIX

LAN_SUBNET=10.77.0

lan_host_ns() { echo "$1-h$2"; }
lan_host_name() { echo "${1//-/}h$2"; }
lan_host_addr() { echo "$LAN_SUBNET.$2"; }

lan_up() {
    local prefix=$1 count=$2 i ns
    ip netns add "$prefix-br"
    ip -n "$prefix-br" link add br0 type bridge
    ip -n "$prefix-br" link set br0 up
    for ((i = 1; i <= count; i++)); do
        ns=$(lan_host_ns "$prefix" "$i")
        ip netns add "$ns"
        ip link add eth0 netns "$ns" type veth peer name "p$i" netns "$prefix-br"
        ip -n "$prefix-br" link set "p$i" master br0
        ip -n "$prefix-br" link set "p$i" up
        ip -n "$ns" addr add "$(lan_host_addr "$prefix" "$i")/24" dev eth0
        ip -n "$ns" link set eth0 up
        ip -n "$ns" link set lo up
        # The limited broadcast 255.255.255.255 needs a route.
        ip -n "$ns" route add default dev eth0
        # A host name of our own is in no hosts file; without these files a look-up of it
        # would wait on an unreachable name server.
        mkdir -p "/etc/netns/$ns"
        printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$(lan_host_name "$prefix" "$i")" >"/etc/netns/$ns/hosts"
        : >"/etc/netns/$ns/resolv.conf"
    done
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
