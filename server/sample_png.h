// Makes small, valid PNG pictures for tests and the demo, with no image library.
#pragma once

#include <cstdint>
#include <string>

// An RGB picture with a pattern chosen by `seed`, compressed with stored (uncompressed) deflate blocks.
std::string make_sample_png(std::uint32_t width, std::uint32_t height, std::uint32_t seed);
