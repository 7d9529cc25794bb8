#include "table/address_text.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void formatAddress(const uint8_t address[6], char text[18]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 6; ++i) {
        text[i * 3] = kHex[address[i] >> 4];
        text[i * 3 + 1] = kHex[address[i] & 0xF];
        text[i * 3 + 2] = i < 5 ? ':' : '\0';
    }
}

bool parseAddress(const char* text, uint8_t address[6]) {
    for (int i = 0; i < 6; ++i) {
        const char* pair = text + i * 3;
        int high = hexValue(pair[0]);
        int low = high < 0 ? -1 : hexValue(pair[1]);
        if (low < 0 || (i < 5 && pair[2] != ':')) return false;
        address[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}
