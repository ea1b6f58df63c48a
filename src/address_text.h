// Address texts as hosts write them: "byte.bit" for the bit types 0..2 (bit
// address byte x 8 + bit; the bit number is not limited to 0..7), a decimal
// element address for the types 3..11.
#ifndef ADDRESS_TEXT_H
#define ADDRESS_TEXT_H

#include <QString>

// The numeric address of `text` for register type `regType`: -1 for an
// unusable text (a bit address without exactly one full stop, or a number
// beyond 32 bits), 0 for a text that is not a decimal number and for a type
// outside 0..11.
int parseAddressText(int regType, const QString &text);

#endif // ADDRESS_TEXT_H
