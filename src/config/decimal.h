// The number reader of the configuration and of capture lines.
#pragma once

// atoi's grammar (leading white space, optional sign, decimal digits, stop at the first
// other character) with overflow saturating at the int range instead of undefined.
int decimalValue(const char* text);
