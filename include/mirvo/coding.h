// How numbers are coded in the library's files, in one place: every reader
// and writer of the library (mirvo/cb.h, mirvo/file.h, mirvo/engine.h)
// codes binary integer fields and text header integers by these rules.
//
// Binary integer fields are 1 to 4 bytes wide and hold the low `width` bytes
// of a 32-bit two's-complement value. The current layouts (codebook and
// training-set records, stored option values) put the most significant byte
// first (big-endian); the old codebook layouts (versions 0 and 1) put the
// least significant byte first (little-endian). Decoding a field of 1 to 3
// bytes gives its unsigned value, never negative (no sign is extended);
// decoding a 4-byte field gives the int32 whose two's complement it is.
// Encoding writes the low `width` bytes of the value whatever it holds:
// range checks belong to the callers.
//
// Text integers (header lines) follow the rules of the "%i" conversion:
// leading white space (blank, tab, line feed, vertical tab, form feed,
// carriage return) is skipped; an optional sign; then "0x" or "0X" starts a
// hexadecimal number, a leading "0" an octal one, any other digit a decimal
// one; the number ends at the first character that is not a digit of its
// base, which is left unread. A sign not followed by a number is consumed;
// "0x" not followed by a hexadecimal digit reads as 0 with the "x" consumed,
// and "08" reads as 0 leaving the "8". A value outside the int32 range is
// reported as an overflow, saturated at the int64 range.
#pragma once
