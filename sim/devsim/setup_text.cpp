#include "sim/devsim/setup.h"

#include "sim/devsim/device.h"

namespace sim::devsim {

std::string dataField(const Device& device)
{
    const DataChannel* channel = device.dataChannel();
    if (!channel)
        return "off";
    const auto& settings = channel->settings();
    std::string field = std::string(settings.udp ? "udp-" : "tcp-") + (settings.client ? "client:" : "server:");
    field += settings.client ? settings.destination.text() : std::to_string(channel->localEndpoint().port);
    return field + (settings.framing ? ":framed" : ":raw");
}

std::string usageAbout()
{
    return R"(Simulates device servers on the management protocol: each device answers
Query (broadcast port 25122, multicast group port 25123, unicast port 25124
on its own address), SetConfig, Restore, Reboot, Upgrade (a TFTP download),
StatusQuery and takes ConnectNotice, and carries its serial port over its data
channel. Once every device listens, one line per device is printed:
"ADDRESS MAC NAME serial=PATH data=CHANNEL", where PATH is the pty a program
opens to play the device's serial peer (or "echo") and CHANNEL tells how the
data channel runs, e.g. "tcp-server:5000:framed". SIGINT or SIGTERM ends
the program.)";
}

std::string usageNotes()
{
    return R"(Configuration file: one [device] section per device, "key = value" lines,
'#' starts a comment. A key left out keeps the default of the device's
position (address, MAC 02:44:53:00:00:nn, name DS-nnnn, server mode, TCP,
broadcast and multicast management on, 115200 8N1, no flow control).
  [device]
  name = Lab-1                 # at most 16 characters
  mac = 02:44:53:10:00:01
  address = 127.0.0.20         # current address (where it answers); a device
                               # on the address of an earlier one is a further
                               # serial port of that device server (give it
                               # its own data-port): a Query there is answered
                               # once for each port
  static-address, netmask, gateway, dns, destination-address = ADDR
  data-port, destination-port = PORT      destination-host = TEXT
  client-mode, dhcp, access-check, udp-data, tcp-data, auto-connect,
  broadcast-management, multicast-management = 0 | 1
  connection-timeout = 0..20 (minutes)    transmission-timer = MS
  baud = 921600 | 115200 | 57600 | 38400 | 19200 | 9600 | 4800 | 2400 | 1200
  data-bits = 5..8   parity = odd | even | none   stop-bits = 1 | 1.5 | 2
  flow-control = xon-xoff | hardware | none       rs485-mode = 0..3
  accessible-ip1 .. accessible-ip4 = ADDR
  smtp-domain, smtp-from, smtp-to1 .. smtp-to3 = TEXT   smtp-events = HEX
  upgrade-server = ADDR   upgrade-file = TEXT
  firmware = VERSION      modem-status = BYTE     connection-state = 0 | 1
  tx-count, rx-count = serial byte counters     fault = MODE
  framing = on | off      serial = pty | echo

Behaviour: a device answers a broadcast or multicast Query only while its
broadcast or multicast management flag is on. SetConfig stores every item but
the MAC, answers with the stored record and restarts; Restore (matched by
MAC) answers, takes the settings the device was started with and restarts;
Reboot (matched by name and MAC) restarts. A restarting device is silent for
the reboot time and then answers on its (possibly new) address; counters and
the connection state start again from 0. Upgrade (matched by name and MAC)
fetches the file from the TFTP server in octet mode; on success the device
restarts with the firmware version taken from the file: the characters after
the first "VERSION=" in it, or else its first line, at most 12 characters.
A failed download leaves the old firmware running.

Data channel: in server mode (client-mode = 0) a device listens on its data
port on its own address: TCP (tcp-data = 1) serves one connection at a time
and resets a second one at once; UDP (udp-data = 1, tcp-data = 0) answers
whoever greets it (framed) or sent the last datagram (raw). In client mode it
connects to destination-host (a dotted address or a name), or when that is
empty destination-address, at destination-port, and tries again after the
reconnect time; a UDP client sends there at once. With tcp-data and udp-data
both 0 there is no data channel. The connection state in the QueryReply is 1
while a TCP connection is up or a UDP peer is known.
Framed, every packet is a type byte, a 2-byte big-endian length and the
payload: 0x32 data, 0x33 control (code and arguments), 0x31 hello, 0x30 bye.
Data payloads go out of the serial side; serial input comes back in data
packets of at most 1024 bytes. Control codes from the port: 0x11/0x13 clear/
set DTR, 0x12/0x14 clear/set RTS, 0x1A modem control (bit 0 DTR, bit 1 RTS),
0x15 baud code and line-control byte, 0x19 line-control byte, 0x16/0x17
break off/on, 0x18 FIFO control, 0x21/0x22 stop/resume sending to the port,
0x24 flow control (0 none, 1 hardware, 2 software); others are ignored. The
device reports its modem status (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80, with
change bits 0x01-0x08) with 0xA3 when a connection starts and after every
DTR/RTS request, and with 0x81 (status, DTR bit 0 and RTS bit 1) when the
serial peer's lines change. Serial input while nothing is connected is
dropped. The emulated baud rate and format are shown on the pty's settings.
)";
}

} // namespace sim::devsim
