#pragma once
// Strict base64 decoding in pieces, so an attachment goes from the document to its file without
// ever being held whole in memory.
#include <cstddef>
#include <cstdint>
#include <string>

namespace swn {

class Base64Decoder {
public:
    // Decodes one piece of text, appending the bytes to `out`. White space may stand anywhere;
    // any other character outside the alphabet, or data after the padding, makes it return false.
    bool feed(const char* text, size_t length, std::string& out);
    // True when the text ended on a whole group: padded, or two or three characters short of one.
    bool finish(std::string& out);

private:
    uint32_t bits_ = 0;
    int count_ = 0;      // characters of the current group
    int padding_ = 0;    // '=' seen
    bool failed_ = false;
};

} // namespace swn
