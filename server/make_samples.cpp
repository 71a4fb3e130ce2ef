// gallery-samples: writes a few sample PNG pictures (and optionally a non-picture) into a folder.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "sample_png.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: gallery-samples DIR [COUNT] [--with-non-picture]\n";
        return 2;
    }
    std::filesystem::path dir = argv[1];
    int count = argc > 2 && argv[2][0] != '-' ? std::atoi(argv[2]) : 4;
    bool non_picture = std::string(argv[argc - 1]) == "--with-non-picture";
    if (count < 1 || count > 100) {
        std::cerr << "gallery-samples: COUNT must be from 1 to 100\n";
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (int i = 1; i <= count; ++i) {
        std::ofstream out(dir / ("sample-" + std::to_string(i) + ".png"), std::ios::binary);
        out << make_sample_png(160 + 40 * (i % 4), 120 + 30 * (i % 3), static_cast<std::uint32_t>(i));
        if (!out) {
            std::cerr << "gallery-samples: cannot write into " << dir.string() << "\n";
            return 1;
        }
    }
    if (non_picture) std::ofstream(dir / "notes.txt") << "not a picture\n";
    return 0;
}
