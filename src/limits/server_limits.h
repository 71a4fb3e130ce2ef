// The gallery's upload limits, asked for once per run.
#pragma once

#include <optional>
#include <string_view>

#include "common/types.h"

// The first call asks the gallery; later calls answer from the stored numbers. Any failure ends the
// process, so it returns only valid numbers.
const ServerLimits& fetch_limits();

// "largest_upload:most_files:largest_file" as decimals, each with optional leading white space and a
// sign, each colon straight after its number; text after the third number is ignored. None when the
// text does not start so, or a number does not fit in 32 bits.
std::optional<ServerLimits> parse_limits(std::string_view body);
