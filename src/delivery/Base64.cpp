#include "delivery/Base64.h"

#include <array>

namespace swn {

namespace {

constexpr int8_t kInvalid = -1;
constexpr int8_t kSpace = -2;
constexpr int8_t kPad = -3;

constexpr std::array<int8_t, 256> MakeTable()
{
    std::array<int8_t, 256> table{};
    for (auto& v : table)
        v = kInvalid;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = int8_t(i);
    for (unsigned char c : {' ', '\t', '\r', '\n'})
        table[c] = kSpace;
    table['='] = kPad;
    return table;
}

constexpr std::array<int8_t, 256> kTable = MakeTable();

} // namespace

bool Base64Decoder::feed(const char* text, size_t length, std::string& out)
{
    if (failed_)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const int8_t v = kTable[static_cast<unsigned char>(text[i])];
        if (v == kSpace)
            continue;
        if (v == kInvalid || (v >= 0 && padding_ > 0)) {
            failed_ = true;
            return false;
        }
        if (v == kPad) {
            // Padding only completes a group of two or three characters.
            if (count_ + padding_ < 2 || count_ + padding_ >= 4) {
                failed_ = true;
                return false;
            }
            ++padding_;
            if (count_ + padding_ == 4) {
                if (!finish(out))
                    return false;
                padding_ = 4; // anything but white space after this is an error
            }
            continue;
        }
        bits_ = (bits_ << 6) | uint32_t(v);
        if (++count_ == 4) {
            out.push_back(char(bits_ >> 16));
            out.push_back(char(bits_ >> 8));
            out.push_back(char(bits_));
            bits_ = 0;
            count_ = 0;
        }
    }
    return true;
}

bool Base64Decoder::finish(std::string& out)
{
    if (failed_)
        return false;
    if (count_ == 1 || (padding_ > 0 && padding_ < 4 && count_ + padding_ != 4)) {
        failed_ = true;
        return false;
    }
    if (count_ == 2) {
        out.push_back(char(bits_ >> 4));
    } else if (count_ == 3) {
        out.push_back(char(bits_ >> 10));
        out.push_back(char(bits_ >> 2));
    }
    bits_ = 0;
    count_ = 0;
    return true;
}

} // namespace swn
