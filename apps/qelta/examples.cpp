// The examples the help of qelta and of each of its commands ends with.
#include "apps/qelta/command.h"

namespace qelta {

void addExamples(CLI::App& app)
{
    cli::addExamples(app,
        {
            { "qelta search", "find the device servers on the local network" },
            { "qelta --local 192.168.0.10 search --json", "search through the interface with that address; JSON" },
            { "qelta startup", "show the driver package, Qelta.dat and the interface chosen" },
            { "qelta settings", "print the 39 application settings" },
            { "qelta settings > before.txt", "keep the settings to compare them later" },
            { "qelta search --multicast --ttl 2", "search by multicast across one router" },
            { "qelta search --ip 10.0.0.7", "ask one device, also in another subnet" },
            { "qelta setup --ip 192.168.0.7 --set 3=LINE-7 --yes", "rename the device and let it reboot" },
            { "qelta setup --ip 192.168.0.7 --save dev7.txt --no-submit", "keep the device's settings in a file" },
            { "qelta setup --ip 192.168.0.8 --load dev7.txt --set 6=192.168.0.8",
                "give a second device the first one's settings and its own address" },
            { "qelta monitor --ip 192.168.0.7 --cycles 3", "poll one device three times" },
            { "qelta monitor --ip 192.168.0.7 --ip 192.168.0.8 --csv status.csv",
                "poll two devices until Ctrl+C, every row also in status.csv" },
            { "qelta restore --ip 192.168.0.7", "return the device to its factory settings, asking first" },
            { "qelta restore --ip 192.168.0.7 --ip 192.168.0.8 --yes", "restore two devices without asking" },
            { "qelta reboot --ip 192.168.0.7", "reboot one device, asking first" },
            { "qelta reboot --ip 192.168.0.7 --yes --json", "reboot it and print the search after as JSON" },
            { "qelta upgrade --ip 192.168.0.7 --server 192.168.0.10 --file fw.bin",
                "the device fetches fw.bin from the TFTP server at 192.168.0.10" },
            { "qelta upgrade --ip 192.168.0.7 --file fw.bin --yes", "fetch from this host's TFTP server, no question" },
            { "sudo qelta dhcp --start 192.168.0.100 --end 192.168.0.150",
                "hand out addresses from the pool until Ctrl+C" },
            { "sudo qelta dhcp --start 10.1.0.10 --end 10.1.0.20 --netmask 255.255.255.0 --gateway 10.1.0.1",
                "serve a pool with its subnet mask and router" },
            { "sudo qelta tftp --dir /srv/firmware", "serve the firmware files of /srv/firmware until Ctrl+C" },
            { "qelta tftp --dir . --port 6969", "serve the working folder on a port a user may take" },
            { "qelta term COM5 --baud 115200", "open COM5 at 115200 8N1; typed lines go out, received bytes print" },
            { "qelta term COM5 --auto-test --duration 10", "send the test pattern for ten seconds" },
            { "qelta term /dev/ttyUSB0 --baud 9600 --hex", "show what arrives as hex pairs" },
            { "qelta vsp list", "list the virtual serial ports and their settings" },
            { "qelta vsp add --com 5", "add the virtual port COM5" },
            { "qelta vsp add", "add a port with the first free COM number" },
            { "qelta vsp list --json", "the ports as JSON" },
            { "qelta vsp remove COM5", "remove COM5" },
            { "qelta vsp remove COM5 && qelta vsp add --com 5", "start COM5 afresh" },
            { "qelta vsp set COM5 --remote 192.168.0.7:4001 --tcp", "COM5 connects to the device server by TCP" },
            { "qelta vsp set COM5 --listen 4001 --udp", "COM5 waits for the device server on UDP port 4001" },
            { "qelta vsp set COM5 --protocol rfc2217 --remote 192.168.0.9:2000",
                "COM5 speaks RFC 2217 to any device server that does" },
            { "qelta vsp connect COM5", "connect COM5 to its device server now" },
            { "qelta vsp connect COM5 && qelta vsp list", "connect it and see its state" },
            { "qelta vsp close COM5", "close COM5's connection" },
            { "qelta vsp close COM5 && qelta vsp remove COM5", "close and remove it" },
            { "qelta vsp watch", "keep the connected ports connected until Ctrl+C" },
            { "qelta vsp watch --duration 3600", "watch them for an hour" },
        });
}

} // namespace qelta
