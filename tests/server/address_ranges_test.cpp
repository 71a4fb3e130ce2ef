// Address ranges and the client behind a trusted proxy: what is refused, what matches, who is believed.
#include <gtest/gtest.h>

#include "address_ranges.h"

namespace {

IpAddress ip(std::string_view text) {
    std::optional<IpAddress> address = parse_ip_address(text);
    EXPECT_TRUE(address) << text;
    return address.value_or(IpAddress{});
}

std::vector<AddressRange> ranges(std::string_view text) {
    RangesParse parsed = parse_address_ranges(text);
    EXPECT_EQ(parsed.error, "") << text;
    return parsed.ranges;
}

}  // namespace

TEST(AddressRanges, BadRangesAreRefusedWithTheReason) {
    struct Case {
        std::string text, mentions;
    };
    for (const Case& c : std::vector<Case>{
             {"", "no address range"},
             {"10.0.0.0/8,", "\"\" is not an address range"},
             {"10.0.0.0/33", "0 to 32"},
             {"10.0.0.0/", "prefix length"},
             {"10.1.2.3/8", "the range is 10.0.0.0/8"},
             {"2001:db8::1/32", "the range is 2001:db8::/32"},
             {"10.0.0", "\"10.0.0\" is not"},
             {"010.0.0.1", "is not"},
             {"fe80::1%eth0/64", "is not"},
             {"127.0.0.1:80", "is not"},
         }) {
        RangesParse parsed = parse_address_ranges(c.text);
        EXPECT_NE(parsed.error.find(c.mentions), std::string::npos) << "\"" << c.text << "\" gave: " << parsed.error;
    }
}

TEST(AddressRanges, MatchingAcrossPrefixesAndBothFamilies) {
    struct Case {
        std::string ranges, address;
        bool inside;
    };
    for (const Case& c : std::vector<Case>{
             {"127.0.0.1/32,::1/128", "127.0.0.1", true},
             {"127.0.0.1/32,::1/128", "127.0.0.2", false},
             {"192.168.4.0/22", "192.168.7.200", true},
             {"192.168.4.0/22", "192.168.8.0", false},
             {"0.0.0.0/0", "203.0.113.9", true},
             {"0.0.0.0/0", "2001:db8::1", false},  // all of IPv4 is not all of IPv6
             {"::/0", "203.0.113.9", true},        // ...but all of IPv6 holds the mapped IPv4 addresses
             {"2001:db8::/33", "2001:db8:8000::1", false},
             // An IPv4 client on a dual-stack socket arrives IPv4-mapped; either spelling matches either.
             {"10.0.0.0/8", "::ffff:10.1.2.3", true},
             {"::ffff:10.0.0.0/104", "10.1.2.3", true},
             {" 10.0.0.1/32 , 10.0.0.2/32 ", "10.0.0.2", true},
         }) {
        EXPECT_EQ(in_ranges(ranges(c.ranges), ip(c.address)), c.inside) << c.address << " in " << c.ranges;
    }
}

TEST(AddressRanges, OnlyATrustedProxyIsBelievedAndOnlyForTheHopsItVouchesFor) {
    const std::string proxy = "127.0.0.1/32,::1/128,10.0.0.0/8";
    struct Case {
        std::string peer, real_ip, forwarded_for, client;
    };
    for (const Case& c : std::vector<Case>{
             // Anyone else's headers are never read.
             {"198.51.100.7", "203.0.113.9", "203.0.113.9", "198.51.100.7"},
             // nginx's own X-Real-IP.
             {"127.0.0.1", "203.0.113.9", "", "203.0.113.9"},
             {"127.0.0.1", " 203.0.113.9 ", "", "203.0.113.9"},
             // The right-most hop not our own: what the client put on the left is not believed.
             {"127.0.0.1", "", "6.6.6.6,203.0.113.9, 10.1.1.1", "203.0.113.9"},
             {"127.0.0.1", "", "10.1.1.1, 10.2.2.2", "10.1.1.1"},  // every hop ours: the farthest
             // A chain of our proxies: X-Real-IP names a proxy, so the list is walked.
             {"127.0.0.1", "10.1.1.1", "203.0.113.9, 10.1.1.1", "203.0.113.9"},
             // Nothing usable: the proxy itself, or the last hop known before the garbage.
             {"127.0.0.1", "", "", "127.0.0.1"},
             {"127.0.0.1", "unknown", "", "127.0.0.1"},
             {"127.0.0.1", "", "203.0.113.9, unknown", "127.0.0.1"},
             {"127.0.0.1", "", "unknown, 10.1.1.1", "10.1.1.1"},
         }) {
        IpAddress client = forwarded_client(ip(c.peer), ranges(proxy), c.real_ip, c.forwarded_for);
        EXPECT_EQ(address_text(client), c.client)
            << "peer " << c.peer << ", X-Real-IP \"" << c.real_ip << "\", X-Forwarded-For \"" << c.forwarded_for << "\"";
    }
}
