#!/usr/bin/env python3
"""Writes the snmpsim recordings of the SNMP helper and discovery tests.

Each recording is one simulated device; its community is the file name
without ".snmprec". Records are OID|tag|value, the ASN.1 tag in decimal,
sorted by OID; a tag followed by 'x' takes the value in hexadecimal. Octet
strings that are not plain printable text (or have blanks at their ends,
which the simulator trims) are written in hexadecimal.

    python3 tests/data/make_snmp_recordings.py [output-folder]

The recordings are committed; run this again only to change them.
"""

import os
import sys

INTEGER, OCTETS, NULL, OID, IPADDR = 2, 4, 5, 6, 64
COUNTER32, GAUGE32, TIMETICKS, OPAQUE, COUNTER64 = 65, 66, 67, 68, 70
NO_SUCH_OBJECT, NO_SUCH_INSTANCE = 128, 129

IF_NUMBER = "1.3.6.1.2.1.2.1.0"
IF_ENTRY = "1.3.6.1.2.1.2.2.1"  # .1 ifIndex .2 ifDescr .3 ifType .6 ifPhysAddress
IFX_ENTRY = "1.3.6.1.2.1.31.1.1.1"  # .1 ifName .18 ifAlias
IP_ADDR_ENTRY = "1.3.6.1.2.1.4.20.1"  # .1 addr .2 ifIndex .3 mask .4 bcast .5 reasm
VLAN_CURRENT = "1.3.6.1.2.1.17.7.1.4.2.1"  # .TimeMark.VlanIndex
VLAN_STATIC = "1.3.6.1.2.1.17.7.1.4.3.1"  # .VlanIndex


class Recording:
    def __init__(self):
        self.records = {}

    def add(self, oid, tag, value=""):
        key = tuple(int(c) for c in oid.strip(".").split("."))
        self.records[key] = (tag, value)

    def text(self, oid, value):
        data = value.encode("latin-1")
        plain = (data and all(0x21 <= b <= 0x7E or b == 0x20 for b in data)
                 and data[0] != 0x20 and data[-1] != 0x20 and b"|" not in data)
        if plain:
            self.add(oid, f"{OCTETS}", value)
        else:
            self.octets(oid, data)

    def octets(self, oid, data):
        self.add(oid, f"{OCTETS}x", bytes(data).hex())

    def ip(self, oid, dotted):
        self.add(oid, f"{IPADDR}x", bytes(int(p) for p in dotted.split(".")).hex())

    def write(self, path):
        with open(path, "w", encoding="ascii", newline="\n") as out:
            for key in sorted(self.records):
                tag, value = self.records[key]
                out.write(".".join(str(c) for c in key) + f"|{tag}|{value}\n")


def system_group(rec, descr, object_id):
    rec.text("1.3.6.1.2.1.1.1.0", descr)
    rec.add("1.3.6.1.2.1.1.2.0", OID, object_id)
    rec.add("1.3.6.1.2.1.1.3.0", TIMETICKS, "8640000")


def interface(rec, index, descr=None, iftype=None, mac=None, name=None, alias=None):
    """One IF-MIB row; None leaves the column out (a GET of it fails)."""
    rec.add(f"{IF_ENTRY}.1.{index}", INTEGER, str(index))
    if descr is not None:
        rec.text(f"{IF_ENTRY}.2.{index}", descr)
    if iftype is not None:
        rec.add(f"{IF_ENTRY}.3.{index}", INTEGER, str(iftype))
    rec.add(f"{IF_ENTRY}.4.{index}", INTEGER, "1500")
    if mac is not None:
        rec.octets(f"{IF_ENTRY}.6.{index}", mac)
    rec.add(f"{IF_ENTRY}.7.{index}", INTEGER, "1")
    rec.add(f"{IF_ENTRY}.8.{index}", INTEGER, "1")
    if name is not None:
        rec.text(f"{IFX_ENTRY}.1.{index}", name)
    if alias is not None:
        rec.text(f"{IFX_ENTRY}.18.{index}", alias)


def address(rec, addr, if_index=None, mask=None):
    """One ipAddrTable row; None leaves the column out."""
    rec.ip(f"{IP_ADDR_ENTRY}.1.{addr}", addr)
    if if_index is not None:
        rec.add(f"{IP_ADDR_ENTRY}.2.{addr}", INTEGER, str(if_index))
    if mask is not None:
        rec.ip(f"{IP_ADDR_ENTRY}.3.{addr}", mask)
    rec.add(f"{IP_ADDR_ENTRY}.4.{addr}", INTEGER, "1")
    rec.add(f"{IP_ADDR_ENTRY}.5.{addr}", INTEGER, "18024")


def bitmap(ports, size):
    """A PortList: the most significant bit of the first byte is port 1."""
    data = bytearray(size)
    for port in ports:
        data[(port - 1) // 8] |= 0x80 >> ((port - 1) % 8)
    return bytes(data)


def static_vlan(rec, vlan, name):
    rec.text(f"{VLAN_STATIC}.1.{vlan}", name)
    rec.add(f"{VLAN_STATIC}.5.{vlan}", INTEGER, "1")  # dot1qVlanStaticRowStatus active


def current_vlan(rec, time_mark, vlan, egress):
    rec.add(f"{VLAN_CURRENT}.3.{time_mark}.{vlan}", GAUGE32, str(vlan))  # dot1qVlanFdbId
    rec.octets(f"{VLAN_CURRENT}.4.{time_mark}.{vlan}", egress)
    rec.add(f"{VLAN_CURRENT}.6.{time_mark}.{vlan}", INTEGER, "2")  # permanent


def enterprise_tail(rec):
    """Something after every walked table, so that SNMPv2c walks leave their
    subtree by name rather than at the end of the view."""
    rec.text("1.3.6.1.4.1.99999.100.1.0", "end of the recording")


def switch48():
    """A 48-port switch: 48 gigabit ports, 4 uplinks, a loopback, three VLAN
    interfaces and a port channel; aliases; five addresses (two on Vlan20);
    six VLANs under two time marks of the current VLAN table."""
    rec = Recording()
    system_group(rec, "HK-SW48 48-port gigabit switch", "1.3.6.1.4.1.99999.48")
    base_mac = [0x00, 0x1A, 0x2B, 0x3C, 0x00, 0x00]
    aliases = {1: "Uplink to core", 2: "  Printer 2nd floor  ", 3: "", 5: "ap-lobby",
               24: "Voice gateway", 49: "Core-A", 50: "Core-B", 2020: "voice svi"}
    for port in range(10, 21):
        aliases[port] = f"desk-{port:02d}"
    count = 0
    for port in range(1, 49):
        alias = aliases.get(port, "" if port != 47 else None)  # port 47 has no ifAlias
        interface(rec, port, f"GigabitEthernet1/0/{port}", 6, base_mac[:5] + [port],
                  f"Gi1/0/{port}", alias)
        count += 1
    for n in range(1, 5):
        port = 48 + n
        interface(rec, port, f"TenGigabitEthernet1/1/{n}", 6, base_mac[:5] + [port],
                  f"Te1/1/{n}", aliases.get(port, ""))
        count += 1
    interface(rec, 1000, "Loopback0", 24, [], "Lo0", "router id")
    for vlan in (1, 10, 20):
        interface(rec, 2000 + vlan, f"Vlan{vlan}", 53, base_mac[:5] + [0xFF], f"Vl{vlan}",
                  aliases.get(2000 + vlan, ""))
    interface(rec, 5001, "Port-channel1", 161, base_mac[:5] + [0xF1], "Po1", "LAG to core")
    count += 5
    rec.add(IF_NUMBER, INTEGER, str(count))

    address(rec, "10.1.0.1", 2001, "255.255.255.0")
    address(rec, "10.10.0.1", 2010, "255.255.255.0")
    address(rec, "10.20.0.1", 2020, "255.255.255.0")
    address(rec, "172.16.20.1", 2020, "255.255.0.0")  # Vlan20's second address
    address(rec, "192.0.2.1", 1000, "255.255.255.255")
    address(rec, "198.51.100.7", 2010, None)  # its mask cannot be read
    address(rec, "203.0.113.9", 9999, "255.255.255.0")  # no such interface

    names = {1: "default", 10: "users", 20: "voice", 30: "servers", 100: "mgmt",
             4094: "guest wifi"}
    for vlan, name in names.items():
        static_vlan(rec, vlan, name)
    size = 7  # 52 bridge ports
    current_vlan(rec, 0, 1, bitmap(range(1, 53), size))
    current_vlan(rec, 0, 10, bitmap(list(range(1, 13)) + [49, 50], size))
    current_vlan(rec, 0, 20, bitmap(list(range(13, 25)) + [49], size))
    current_vlan(rec, 0, 30, bitmap([25, 27, 29, 31, 49, 50, 51, 52], size))
    current_vlan(rec, 0, 100, bitmap([48, 52], size))
    current_vlan(rec, 0, 999, bitmap(range(1, 53), size))  # no static row: ignored
    current_vlan(rec, 0, 4094, bitmap([8] + list(range(33, 41)), size))
    current_vlan(rec, 1500, 10, bitmap([12, 49, 50], size))  # the same VLAN again
    current_vlan(rec, 1500, 20, b"")  # an empty bitmap: ignored
    enterprise_tail(rec)
    return rec


def snmp_helpers():
    """One object of every type SnmpGet meets, and subtrees for walks."""
    rec = Recording()
    system_group(rec, "HK helper test device", "1.3.6.1.4.1.99999.5")
    base = "1.3.6.1.4.1.99999.5"
    rec.add(f"{base}.1.0", OCTETS, "Uplink")
    rec.octets(f"{base}.2.0", [0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E])
    rec.add(f"{base}.3.0", OID, "1.3.6.1.4.1.99999.7")
    rec.ip(f"{base}.4.0", "192.168.1.10")
    rec.add(f"{base}.5.0", INTEGER, "-42")
    rec.add(f"{base}.6.0", COUNTER32, "4294967295")
    rec.add(f"{base}.7.0", GAUGE32, "1000000000")
    rec.add(f"{base}.8.0", TIMETICKS, "8640000")
    rec.add(f"{base}.9.0", COUNTER64, str(0x0123456789ABCDEF))
    rec.add(f"{base}.10.0", f"{OPAQUE}x", "0102fe")
    rec.add(f"{base}.11.0", NULL, "")
    rec.add(f"{base}.12.0", NO_SUCH_OBJECT, "")
    rec.add(f"{base}.13.0", NO_SUCH_INSTANCE, "")
    rec.octets(f"{base}.14.0", [0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE])
    rec.text(f"{base}.15.0", "caf\u00e9 \u00fcber")
    for i in range(1, 6):  # a five-row column for walks
        rec.add(f"1.3.6.1.4.1.99999.6.1.{i}", INTEGER, str(i * 10))
    rec.add("1.3.6.1.4.1.99999.6.3.1", INTEGER, "1")  # after the empty .6.2
    for i in range(1, 4):  # the last subtree of the view
        rec.add(f"1.3.6.1.4.1.99999.9.{i}", OCTETS, f"last-{i}")
    return rec


def driver_edges():
    """Interface names, types, MACs and addresses at their edges."""
    rec = Recording()
    system_group(rec, "HK driver edge device", "1.3.6.1.4.1.99999.61")
    rec.add(IF_NUMBER, INTEGER, "6")
    interface(rec, 1, "GigabitEthernet0/1", 6, [0x00, 0x11, 0x22, 0x33, 0x44, 0x55], "Gi0/1",
              "Uplink")
    interface(rec, 2, "GigabitEthernet0/2", 6, [], "Gi0/2", "   ")
    interface(rec, 3, "GigabitEthernet0/3")  # no ifName, ifAlias, ifType, ifPhysAddress
    interface(rec, 4, "Port4", 6, [0x01, 0x02, 0x03], "P4", "A" * 253)
    interface(rec, 5, "Port5", 117, [0x02] * 8, "Base5", "B" * 252)
    # ifType answered with text: the integer read must survive it.
    interface(rec, 6, "Port6", None, [0x00, 0x00, 0x5E, 0x00, 0x53, 0x06], "P6", "")
    rec.text(f"{IF_ENTRY}.3.6", "ethernetCsmacd, spelled out by a confused agent")

    address(rec, "10.0.0.1", 1, "255.0.0.0")
    address(rec, "10.5.5.5", 2, None)  # no mask
    address(rec, "10.6.6.6", None, "255.255.255.0")  # no ifIndex
    address(rec, "10.9.9.9", 77, "255.255.255.0")  # no such interface
    address(rec, "172.16.0.4", 4, "255.240.0.0")
    address(rec, "192.168.1.1", 1, "255.255.255.0")  # interface 1's second address
    enterprise_tail(rec)
    return rec


def if_number(value, tag=INTEGER, interfaces=2):
    rec = Recording()
    rec.add(IF_NUMBER, tag, value)
    for i in range(1, interfaces + 1):
        interface(rec, i, f"if{i}", 6, [0, 0, 0, 0, 0, i], f"i{i}")
    enterprise_tail(rec)
    return rec


def descr_gap():
    """The third interface's ifDescr is missing; addresses still reach all."""
    rec = Recording()
    rec.add(IF_NUMBER, INTEGER, "4")
    interface(rec, 1, "eth1", 6, [0, 0, 0, 0, 0, 1], "e1")
    interface(rec, 2, "eth2", 6, [0, 0, 0, 0, 0, 2], "e2")
    interface(rec, 3, None, 6, [0, 0, 0, 0, 0, 3], "e3")
    interface(rec, 4, "eth4", 6, [0, 0, 0, 0, 0, 4], "e4")
    address(rec, "10.0.1.1", 1, "255.255.255.0")
    address(rec, "10.0.3.1", 3, "255.255.255.0")
    address(rec, "10.0.4.1", 4, "255.255.255.0")
    enterprise_tail(rec)
    return rec


def no_tables():
    """Interfaces without the IP address table and without Q-BRIDGE-MIB."""
    rec = Recording()
    rec.add(IF_NUMBER, INTEGER, "2")
    interface(rec, 1, "eth0", 6, [0, 0, 0, 0, 0, 1], "e0")
    interface(rec, 2, "eth1", 6, [0, 0, 0, 0, 0, 2], "e1")
    enterprise_tail(rec)
    return rec


def vlan_edges():
    """Bitmap bit order, an egress row without a static row, duplicates over
    time marks, a bitmap longer than 4096 bytes, a name longer than 255."""
    rec = Recording()
    static_vlan(rec, 2, "N" * 300)
    static_vlan(rec, 3, "three")
    static_vlan(rec, 4, "four")
    static_vlan(rec, 5, "five")
    current_vlan(rec, 0, 2, bytes([0x80]))  # port 1
    current_vlan(rec, 0, 3, bytes([0x01]))  # port 8
    current_vlan(rec, 0, 4, bytes([0x00, 0x40]))  # port 10
    current_vlan(rec, 0, 5, bytes([0xFF, 0x00, 0x01]))  # ports 1 to 8 and 24
    current_vlan(rec, 0, 6, bytes([0xFF]))  # no static row
    long_map = bytearray(4100)
    long_map[0] = 0x80  # port 1
    long_map[4095] = 0x01  # port 32768, the last one kept
    long_map[4096] = 0xFF  # ports 32769 to 32776: beyond 4096 bytes
    long_map[4099] = 0x01
    current_vlan(rec, 7, 2, bytes(long_map))
    current_vlan(rec, 7, 3, bytes([0x01]))  # port 8 again
    enterprise_tail(rec)
    return rec


DISPLAY = "1.3.6.1.4.1.99999.20"


def display_strings():
    """Octet strings as hksnmp shows them: text when valid UTF-8 without
    control characters, else hexadecimal (the test holds the expected text
    for each row)."""
    rec = Recording()
    system_group(rec, "hksnmp display device", "1.3.6.1.4.1.99999.20")
    rows = [
        "Büro Schrank 3".encode("utf-8"),
        bytes([0xDE, 0xF6, 0x8B, 0xDB, 0x32, 0xFA]),  # a MAC address
        b"Uplink",
        b"name\x00",  # one trailing NUL
        b"a\x01b",  # a C0 control
        "x\u0085y".encode("utf-8"),  # a C1 control, validly encoded
        b"\xc0\x80",  # an overlong NUL
        b"caf\xe9",  # ISO-8859-1
        b"",
        "ok \U0001F600".encode("utf-8"),  # four bytes
        b"\xed\xa0\x80",  # a surrogate
        b"ab\xc3",  # cut inside a sequence
        b"tab\there",
    ]
    for i, data in enumerate(rows, 1):
        rec.octets(f"{DISPLAY}.1.{i}.0", data)
    rec.add(f"{DISPLAY}.2.0", f"{OPAQUE}x", "0102fe")
    return rec


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    recordings = {
        "switch48": switch48(),
        "snmp_helpers": snmp_helpers(),
        "driver_edges": driver_edges(),
        "ifnumber_zero": if_number("0", interfaces=70),
        "ifnumber_negative": if_number("-5"),
        "ifnumber_5000": if_number("5000"),
        "ifnumber_4096": if_number("4096"),
        "ifnumber_text": None,
        "descr_gap": descr_gap(),
        "no_tables": no_tables(),
        "vlan_edges": vlan_edges(),
        "display_strings": display_strings(),
    }
    text_number = Recording()
    text_number.text(IF_NUMBER, "twelve interfaces, give or take")
    for i in (1, 2):
        interface(text_number, i, f"if{i}", 6, [0, 0, 0, 0, 0, i], f"i{i}")
    enterprise_tail(text_number)
    recordings["ifnumber_text"] = text_number
    for name, rec in recordings.items():
        rec.write(os.path.join(folder, name + ".snmprec"))


if __name__ == "__main__":
    main()
