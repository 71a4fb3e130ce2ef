// Album keys and owner secrets, from getrandom(2); hashes with libcrypto.
#include "album_keys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace {

constexpr std::string_view base64url = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

template <std::size_t N>
std::array<unsigned char, N> random_bytes() {
    std::array<unsigned char, N> bytes{};
    for (std::size_t done = 0; done < N;) {
        ssize_t n = ::getrandom(bytes.data() + done, N - done, 0);
        if (n < 0 && errno == EINTR) continue;
        // Without the kernel's generator no key can be trusted; nothing weaker stands in for it.
        if (n < 0) throw std::runtime_error("getrandom failed");
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

template <std::size_t N>
std::string encoded(const std::array<unsigned char, N>& bytes) {
    std::string out;
    std::uint32_t bits = 0;
    int held = 0;
    for (unsigned char byte : bytes) {
        bits = (bits << 8) | byte;
        held += 8;
        while (held >= 6) {
            held -= 6;
            out += base64url[(bits >> held) & 0x3F];
        }
    }
    if (held > 0) out += base64url[(bits << (6 - held)) & 0x3F];
    return out;
}

}  // namespace

std::string new_album_key() { return encoded(random_bytes<16>()); }

std::string new_owner_secret() { return encoded(random_bytes<32>()); }

std::string owner_secret_hash(std::string_view secret) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(secret.data(), secret.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0xF];
    }
    return out;
}

bool is_album_key(std::string_view text) {
    if (text.size() != 22) return false;
    for (char c : text)
        if (base64url.find(c) == std::string_view::npos) return false;
    // 22 characters carry 132 bits; the last 4 are zero in a key this gallery wrote.
    return base64url.find(text.back()) % 16 == 0;
}

bool owner_secret_matches(std::string_view secret, std::string_view stored_hash) {
    if (stored_hash.size() != 64 || secret.empty()) return false;
    std::string hash = owner_secret_hash(secret);
    return CRYPTO_memcmp(hash.data(), stored_hash.data(), hash.size()) == 0;
}

std::string album_address(std::string_view key) { return "/a/" + std::string(key); }

std::string picture_address(std::string_view key, std::int64_t number) {
    return album_address(key) + "/" + std::to_string(number);
}
