// Icon images and icon files made in test code, for the icon and resource tests.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace tilvo::icontest {

inline void PutU16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    PutU16(b, v & 0xFFFF);
    PutU16(b, v >> 16);
}
inline void SetU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// One icon image as icon files and resources store it: a 40-byte information header whose height
// counts colour and mask rows, the colour table (0xRRGGBB entries, 2^bits of them for palette
// depths), the colour rows bottom-up and, when maskByte is 0 … 255, mask rows of that byte.
// value(x, y) is the palette index, 0xRRGGBB (24 bits) or 0xAARRGGBB (32 bits).
inline std::vector<uint8_t> IconImage(int bits, int w, int h,
                                      const std::function<uint32_t(int, int)>& value,
                                      const std::vector<uint32_t>& table, int maskByte = -1) {
    std::vector<uint8_t> b;
    const uint32_t colours = bits <= 8 ? 1u << bits : 0;
    const size_t rowBytes = (size_t(w) * size_t(bits) + 31) / 32 * 4;
    const size_t maskRow = (size_t(w) + 31) / 32 * 4;
    PutU32(b, 40);
    PutU32(b, uint32_t(w));
    PutU32(b, uint32_t(2 * h));
    PutU16(b, 1);
    PutU16(b, uint32_t(bits));
    PutU32(b, 0);
    PutU32(b, uint32_t(rowBytes * size_t(h) + (maskByte >= 0 ? maskRow * size_t(h) : 0)));
    PutU32(b, 0);
    PutU32(b, 0);
    PutU32(b, 0);
    PutU32(b, 0);
    for (uint32_t i = 0; i < colours; ++i) PutU32(b, i < table.size() ? table[i] : 0);
    for (int y = h - 1; y >= 0; --y) {
        std::vector<uint8_t> row(rowBytes, 0);
        for (int x = 0; x < w; ++x) {
            const uint32_t v = value(x, y);
            if (bits <= 8) {
                const size_t bit = size_t(x) * size_t(bits);
                row[bit / 8] |= uint8_t(v << (8 - bits - bit % 8));
            } else {
                for (int k = 0; k < bits / 8; ++k)
                    row[size_t(x) * size_t(bits / 8) + size_t(k)] = uint8_t(v >> (8 * k));
            }
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    if (maskByte >= 0) b.insert(b.end(), maskRow * size_t(h), uint8_t(maskByte));
    return b;
}

struct TIconImageSpec {
    std::vector<uint8_t> image;
    uint8_t colours = 0;  // the directory's colour count
};

// An icon (type 1) or cursor (type 2) file of the images, in directory order. The first entry
// gets the width and height bytes given; the others theirs from the image's header. With
// `reverse` the images are stored in the file in reverse order.
inline std::vector<uint8_t> IconFile(uint16_t type, const std::vector<TIconImageSpec>& images,
                                     int firstW, int firstH, bool reverse = false) {
    std::vector<uint8_t> b;
    PutU16(b, 0);
    PutU16(b, type);
    PutU16(b, uint32_t(images.size()));
    std::vector<uint32_t> offsets(images.size());
    uint32_t at = uint32_t(6 + 16 * images.size());
    for (size_t k = 0; k < images.size(); ++k) {
        const size_t i = reverse ? images.size() - 1 - k : k;
        offsets[i] = at;
        at += uint32_t(images[i].image.size());
    }
    for (size_t i = 0; i < images.size(); ++i) {
        const std::vector<uint8_t>& img = images[i].image;
        int w = firstW, h = firstH;
        if (i > 0) {
            w = img.size() >= 12 ? img[4] | img[5] << 8 : 0;
            h = img.size() >= 12 ? (img[8] | img[9] << 8) / 2 : 0;
        }
        b.push_back(uint8_t(w));
        b.push_back(uint8_t(h));
        b.push_back(images[i].colours);
        b.push_back(0);
        PutU16(b, type == 2 ? 3 : 1);   // planes, or the hot spot's x
        PutU16(b, type == 2 ? 5 : 32);  // bit count (often wrong), or the hot spot's y
        PutU32(b, uint32_t(img.size()));
        PutU32(b, offsets[i]);
    }
    for (size_t k = 0; k < images.size(); ++k) {
        const size_t i = reverse ? images.size() - 1 - k : k;
        b.insert(b.end(), images[i].image.begin(), images[i].image.end());
    }
    return b;
}

}  // namespace tilvo::icontest
