// Client addresses and address ranges: parsing, matching, and which address a request really comes
// from when a trusted proxy hands it on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An IPv4 address is held as its IPv4-mapped IPv6 form, so the two spellings of one client are one
// address everywhere: in ranges, in the per-client records, in the log.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const IpAddress&) const = default;
};

struct AddressRange {
    IpAddress base;     // no bits set beyond the prefix
    unsigned prefix = 0;  // over all 128 bits: an IPv4 /24 is 120 here
};

struct RangesParse {
    std::vector<AddressRange> ranges;
    std::string error;  // non-empty: the text was refused for this reason
};

// A plain IPv4 or IPv6 address, nothing around it (no port, no brackets, no zone).
std::optional<IpAddress> parse_ip_address(std::string_view text);
// Comma-separated ADDRESS/PREFIX ranges, IPv4 or IPv6; a bare address is a range of one.
RangesParse parse_address_ranges(std::string_view text);

bool in_ranges(const std::vector<AddressRange>& ranges, const IpAddress& address);

// IPv4 (mapped or not) as dotted quads, IPv6 in its shortest form.
std::string address_text(const IpAddress& address);

// The address a request comes from. From a trusted proxy: the proxy's X-Real-IP when it is a client's
// address, else the right-most X-Forwarded-For entry that is not itself a trusted proxy (the entries
// to its left are whatever the client chose to send). From anyone else: the peer, headers unread.
IpAddress forwarded_client(const IpAddress& peer, const std::vector<AddressRange>& trusted, std::string_view real_ip,
                           std::string_view forwarded_for);
