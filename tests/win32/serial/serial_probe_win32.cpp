// Drives the serial library and the port probe from commands on stdin, one per line, and
// answers each with one line on stdout. serial_pty_test.py runs it against pty-backed ports.
//
//   open|open2 <port> <baud> <bits> <parity> <stop>   -> open <result>
//   state|state2       -> state baud=.. bits=.. parity=.. stop=.. binary=.. (settings given)
//   write|write2 <hex> -> write <result>
//   read|read2 <cap>   -> read <count> <hex>
//   arrived|arrived2   -> arrived <pieces> <stamp>:<hex> ... (TakeArrived)
//   clear|clear2, close|close2 -> clear <result> <ms it took>, close <result>
//   drain <cap> <interval ms> <total> <quiet ms>  -> drain <count> <largest piece> <hex>
//       (reads as the scanner loop does until total bytes or quiet ms without data)
//   collect <ms>       -> collect <readings> <length of each> (framed as the scanner loop
//       frames them, looking every 50 ms, until ms passed)
//   probe              -> probe <ports 1..16 that can be opened>
//   sleep <ms>         -> sleep
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <mmsystem.h>

#include "app/scan_collector.h"
#include "devices/serial_library_win32.h"
#include "devices/port_probe_win32.h"
#include "hex.h"

namespace {

// The settings handed to the driver: a pty reports 8 data bits and no parity whatever it was
// given, so those are checked here and speed and stop bits on the pty itself.
std::string State(const ordane::SerialPortWin32& port) {
    if (!port.IsOpen()) {
        return "state closed";
    }
    const DCB& dcb = port.LineSettings();
    std::ostringstream out;
    out << "state baud=" << dcb.BaudRate << " bits=" << static_cast<int>(dcb.ByteSize)
        << " parity=" << static_cast<int>(dcb.Parity) << " stop=" << static_cast<int>(dcb.StopBits)
        << " binary=" << dcb.fBinary << " fparity=" << dcb.fParity << " cts=" << dcb.fOutxCtsFlow
        << " dsr=" << dcb.fOutxDsrFlow << " outx=" << dcb.fOutX << " inx=" << dcb.fInX
        << " dtr=" << dcb.fDtrControl << " rts=" << dcb.fRtsControl;
    return out.str();
}

std::string Drain(ordane::SerialLibrary& port, std::int32_t capacity, DWORD intervalMs,
                  std::size_t total, DWORD quietMs) {
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> buff(static_cast<std::size_t>(capacity) + 1);
    std::int32_t largest = 0;
    DWORD lastData = GetTickCount();
    while (got.size() < total && GetTickCount() - lastData <= quietMs) {
        const std::int32_t n = port.ReadData(buff.data(), capacity);
        if (n > 0) {
            got.insert(got.end(), buff.begin(), buff.begin() + n);
            largest = std::max(largest, n);
            lastData = GetTickCount();
        }
        Sleep(intervalMs);
    }
    return "drain " + std::to_string(got.size()) + " " + std::to_string(largest) + " " +
           ToHex(got.data(), got.size());
}

std::string Collect(ordane::SerialLibrary& port, DWORD forMs) {
    ordane::ScanCollector collector;
    std::vector<ordane::CollectedReading> finished;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < forMs) {
        std::vector<ordane::ArrivedBytes> pieces;
        port.TakeArrived(pieces);
        for (const ordane::ArrivedBytes& piece : pieces) {
            collector.Add(piece, finished);
        }
        const std::uint32_t now = timeGetTime();
        collector.Finish(now, port.LineSeenAt(now), finished);
        Sleep(50);
    }
    std::ostringstream reply;
    reply << "collect " << finished.size();
    for (const ordane::CollectedReading& reading : finished) {
        reply << ' ' << reading.bytes.size();
    }
    return reply.str();
}

}  // namespace

int main() {
    ordane::SerialPortWin32 first;
    ordane::SerialPortWin32 second;
    ordane::PortProbeWin32 probe;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command.empty()) {
            continue;
        }
        ordane::SerialPortWin32& port = command.back() == '2' ? second : first;
        if (command.back() == '2') {
            command.pop_back();
        }
        std::string reply;
        if (command == "open") {
            std::int32_t number = 0, baud = 0, bits = 0, parity = 0, stop = 0;
            in >> number >> baud >> bits >> parity >> stop;
            reply = "open " + std::to_string(port.OpenPort(
                                  number, ordane::LineSettings(baud, bits,
                                                               parity == 1   ? ordane::Parity::Odd
                                                               : parity == 2 ? ordane::Parity::Even
                                                                             : ordane::Parity::None,
                                                               stop == 1 ? ordane::StopBits::Two
                                                                         : ordane::StopBits::One)));
        } else if (command == "state") {
            reply = State(port);
        } else if (command == "write") {
            std::string hex;
            in >> hex;
            const std::vector<std::uint8_t> bytes = FromHex(hex);
            reply = "write " + std::to_string(port.WriteData(
                                   bytes.data(), static_cast<std::int32_t>(bytes.size())));
        } else if (command == "read") {
            std::int32_t capacity = 0;
            in >> capacity;
            std::vector<std::uint8_t> buff(static_cast<std::size_t>(std::max(capacity, 1)));
            const std::int32_t n = port.ReadData(buff.data(), capacity);
            reply = "read " + std::to_string(n) + " " +
                    ToHex(buff.data(), static_cast<std::size_t>(std::max(n, 0)));
        } else if (command == "arrived") {
            std::vector<ordane::ArrivedBytes> pieces;
            reply = "arrived " + std::to_string(port.TakeArrived(pieces));
            for (const ordane::ArrivedBytes& piece : pieces) {
                reply += " " + std::to_string(piece.at) + ":" +
                         ToHex(reinterpret_cast<const std::uint8_t*>(piece.bytes.data()),
                               piece.bytes.size());
            }
        } else if (command == "clear") {
            const DWORD start = GetTickCount();
            const std::int32_t result = port.ClearRXBuff();
            reply =
                "clear " + std::to_string(result) + " " + std::to_string(GetTickCount() - start);
        } else if (command == "close") {
            reply = "close " + std::to_string(port.ClosePort());
        } else if (command == "drain") {
            std::int32_t capacity = 25;
            DWORD interval = 50, quiet = 2000;
            std::size_t total = 0;
            in >> capacity >> interval >> total >> quiet;
            reply = Drain(port, capacity, interval, total, quiet);
        } else if (command == "collect") {
            DWORD ms = 0;
            in >> ms;
            reply = Collect(port, ms);
        } else if (command == "probe") {
            reply = "probe";
            for (int n = 1; n <= 16; ++n) {
                if (probe.CanOpen(n)) {
                    reply += " " + std::to_string(n);
                }
            }
        } else if (command == "sleep") {
            DWORD ms = 0;
            in >> ms;
            Sleep(ms);
            reply = "sleep";
        } else if (command == "quit") {
            break;
        } else {
            reply = "error unknown command " + command;
        }
        std::cout << reply << std::endl;
    }
    return 0;
}
