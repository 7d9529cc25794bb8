// Addresses as six bytes and as the 17 characters "aa:bb:cc:dd:ee:ff".
#pragma once

#include <cstdint>

// Writes `address` as 17 lower-case characters and a terminator.
void formatAddress(const uint8_t address[6], char text[18]);

// Reads 17 characters of hex pairs separated by colons (either case) into `address`; false,
// leaving it undefined, when `text` is not such an address.
bool parseAddress(const char* text, uint8_t address[6]);
