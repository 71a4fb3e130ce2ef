// Album keys and owner secrets: random identifiers from the kernel's CSPRNG, written URL-safe, and
// the hash the store keeps of an owner's secret instead of the secret itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// 128 random bits as 22 characters of base64url without padding: the public name of an album.
std::string new_album_key();
// 256 random bits as 43 characters of base64url: the capability handed to an album's uploader.
std::string new_owner_secret();
// SHA-256 of the secret, 64 lowercase hex digits.
std::string owner_secret_hash(std::string_view secret);

// Exactly what new_album_key writes: 22 base64url characters whose last carries no unused bits.
bool is_album_key(std::string_view text);
// Compares in time independent of where the hashes differ, so the answer's timing leaks nothing.
bool owner_secret_matches(std::string_view secret, std::string_view stored_hash);

// The public address paths of an album and of one of its pictures.
std::string album_address(std::string_view key);
std::string picture_address(std::string_view key, std::int64_t number);
