// Address ranges as the options give them, and the client address behind a trusted proxy.
#include "address_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace {

constexpr std::array<std::uint8_t, 12> mapped_prefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_mapped(const IpAddress& address) {
    return std::equal(mapped_prefix.begin(), mapped_prefix.end(), address.bytes.begin());
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// True when `address` has no bit set beyond the first `prefix`.
bool clear_beyond(const IpAddress& address, unsigned prefix) {
    for (unsigned bit = prefix; bit < 128; ++bit)
        if (address.bytes[bit / 8] & (0x80u >> (bit % 8))) return false;
    return true;
}

bool same_prefix(const IpAddress& a, const IpAddress& b, unsigned prefix) {
    unsigned whole = prefix / 8;
    if (!std::equal(a.bytes.begin(), a.bytes.begin() + whole, b.bytes.begin())) return false;
    if (prefix % 8 == 0) return true;
    auto mask = static_cast<std::uint8_t>(0xFF00u >> (prefix % 8));
    return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
    // inet_pton takes neither zones, ports nor the old short IPv4 forms, which is what is wanted.
    if (text.empty() || text.size() > 45) return std::nullopt;
    std::string copy(text);
    IpAddress address;
    if (text.find(':') == std::string_view::npos) {
        std::array<std::uint8_t, 4> v4{};
        if (::inet_pton(AF_INET, copy.c_str(), v4.data()) != 1) return std::nullopt;
        std::copy(mapped_prefix.begin(), mapped_prefix.end(), address.bytes.begin());
        std::copy(v4.begin(), v4.end(), address.bytes.begin() + 12);
        return address;
    }
    if (::inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) != 1) return std::nullopt;
    return address;
}

RangesParse parse_address_ranges(std::string_view text) {
    RangesParse result;
    if (trimmed(text).empty()) {
        result.error = "no address range given";
        return result;
    }
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view item = trimmed(text.substr(0, comma));
        std::string shown(item);
        std::size_t slash = item.find('/');
        std::optional<IpAddress> base = parse_ip_address(item.substr(0, slash));
        if (!base) {
            result.error = "\"" + shown + "\" is not an address range (ADDRESS or ADDRESS/PREFIX, IPv4 or IPv6)";
            return result;
        }
        bool v4 = item.substr(0, slash).find(':') == std::string_view::npos;
        unsigned most = v4 ? 32 : 128;
        unsigned prefix = most;
        if (slash != std::string_view::npos) {
            std::string_view digits = item.substr(slash + 1);
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || prefix > most) {
                result.error = "\"" + shown + "\" has a prefix length that is not a number from 0 to " + std::to_string(most);
                return result;
            }
        }
        if (v4) prefix += 96;
        // 10.1.2.3/8 is far more likely a slip than a way of writing 10.0.0.0/8: say which was meant.
        if (!clear_beyond(*base, prefix)) {
            IpAddress network = *base;
            for (unsigned bit = prefix; bit < 128; ++bit) network.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
            result.error = "\"" + shown + "\" has address bits set beyond its prefix; the range is " +
                           address_text(network) + "/" + std::to_string(v4 ? prefix - 96 : prefix);
            return result;
        }
        result.ranges.push_back(AddressRange{*base, prefix});
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return result;
}

bool in_ranges(const std::vector<AddressRange>& ranges, const IpAddress& address) {
    for (const AddressRange& range : ranges)
        if (same_prefix(range.base, address, range.prefix)) return true;
    return false;
}

std::string address_text(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (is_mapped(address)) ::inet_ntop(AF_INET, address.bytes.data() + 12, text, sizeof text);
    else ::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
    return text;
}

IpAddress forwarded_client(const IpAddress& peer, const std::vector<AddressRange>& trusted, std::string_view real_ip,
                           std::string_view forwarded_for) {
    if (!in_ranges(trusted, peer)) return peer;
    if (auto named = parse_ip_address(trimmed(real_ip)); named && !in_ranges(trusted, *named)) return *named;
    // Right to left: each entry was added by the hop before it, so the walk stops at the first hop
    // that is not ours; an entry that is no address ends it too, at the last hop known.
    IpAddress client = peer;
    while (!trimmed(forwarded_for).empty()) {
        std::size_t comma = forwarded_for.rfind(',');
        std::string_view entry = comma == std::string_view::npos ? forwarded_for : forwarded_for.substr(comma + 1);
        std::optional<IpAddress> hop = parse_ip_address(trimmed(entry));
        if (!hop) break;
        client = *hop;
        if (!in_ranges(trusted, client)) break;
        forwarded_for = comma == std::string_view::npos ? std::string_view() : forwarded_for.substr(0, comma);
    }
    return client;
}
