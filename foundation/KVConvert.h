#pragma once
// Text conversions that give the same result on every machine, whatever its C/C++ locale: numbers are
// written with "." and read with "." or ",", so a file written under a comma locale still reads here.
// Also the UTF-8 / UTF-16 conversions and ASCII-only case handling used for names and keywords.
#include <cstdint>
#include <string>
#include <string_view>

// "%.15G" as the C locale writes it, with a plainer exponent: up to 15 significant digits, no trailing
// zeros, exponent form only when the decimal exponent is below -4 or at least 15, written "E" followed by
// the exponent without "+" or leading zeros ("1.5E20", "1E-5", "-2.5E-10"). NaN gives "NAN", infinities
// "INF" and "-INF"; negative zero stays "-0".
std::string KVFormatDouble15(double value);

// Shortest text that reads back as exactly the same value, in the same exponent style as above.
std::string KVFormatDoubleShortest(double value);
std::string KVFormatSingleShortest(float value);

// Reads a decimal floating-point number: optional blanks, optional sign, digits with one "." or one ","
// as the decimal separator (text holding both is rejected: it carries thousands separators whose meaning
// is a guess), optional exponent, optional blanks. "INF", "NAN" and "INFINITY" (any case) are read as
// well, as KVFormatDouble15 writes them. A value too large for the type fails; a value too small becomes
// zero of the same sign. Anything else, including trailing characters, fails and leaves `out` unchanged.
bool KVTryParseDouble(std::string_view text, double& out);
bool KVTryParseSingle(std::string_view text, float& out);

// Integers: optional blanks, then either a decimal number with optional sign, or a hexadecimal one
// with a "$", "0x" or "0X" prefix and no sign; then optional blanks. Hexadecimal text fills the bits of
// the type, so "$FFFFFFFF" reads as -1 into an Int32; more digits than the type holds fail. A decimal
// value outside the type's range fails.
bool KVTryParseInt32(std::string_view text, int32_t& out);
bool KVTryParseInt64(std::string_view text, int64_t& out);
bool KVTryParseUInt64(std::string_view text, uint64_t& out);

// Invalid input becomes U+FFFD: each lone surrogate, and each maximal ill-formed UTF-8 subpart
// (overlong forms, encoded surrogates, values above U+10FFFF, truncated sequences).
std::string KVUtf16ToUtf8(std::u16string_view text);
std::u16string KVUtf8ToUtf16(std::string_view text);
// Strict forms: false (with the replaced text in `out`) when the input is ill-formed anywhere.
bool KVTryUtf16ToUtf8(std::u16string_view text, std::string& out);
bool KVTryUtf8ToUtf16(std::string_view text, std::u16string& out);

// Case-insensitive for the ASCII letters only; every other byte compares as itself. KVCompareText
// folds to upper case, so "_" (0x5F) sorts after the letters; it returns -1, 0 or 1.
bool KVSameText(std::string_view a, std::string_view b);
int KVCompareText(std::string_view a, std::string_view b);
std::string KVUpperCase(std::string_view text);
std::string KVLowerCase(std::string_view text);
