// Where libtalvo will look for the device, read by spphone itself so that it
// can refuse a malformed TALVO_DEVICE at once and say why a device does not
// link instead of only that it did not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace spphone {

struct DeviceAddress {
    enum Kind { InProcess, Unix, Tcp } kind = InProcess;
    std::string text; // as TALVO_DEVICE gave it ("sim" when unset)
    std::string path; // Unix
    std::string host; // Tcp
    uint16_t port = 0; // Tcp
};

// TALVO_DEVICE as libtalvo takes it: unset, empty or "sim"; "unix:PATH";
// "tcp:HOST:PORT" with a numeric HOST and PORT 1..65535. nullopt (with the reason) otherwise.
std::optional<DeviceAddress> ParseDeviceAddress(const char *value, std::string *why);

// The reason the transport library cannot be used, or "" when the library
// has it loaded. Call after InitializeUsbApiLib, which loads it.
std::string TransportProblem();

// Connects to the endpoint once, with a short deadline, to name why the link
// does not come up: "" when a device there takes the connection and keeps it
// (so the link should come), else a phrase such as "nobody listens on ...".
// *busy is set when the device closed the connection at once, which is how
// it turns away a host while it serves another.
std::string ProbeEndpoint(const DeviceAddress &address, bool *busy);

} // namespace spphone
